#include "Speech/pulse/AudioDevices.h"

#include "Runtime/Localization.h"
#include "Speech/SpeechBackend.h"
#include "Speech/pulse/PulseConnection.h"

#include <pulse/introspect.h>

#include <algorithm>

namespace quillory {

using pulse::PulseConnection;

bool AudioDeviceReport::hasCaptureDevice() const {
    return std::any_of(sources.begin(), sources.end(), [](const AudioSourceInfo& s) { return !s.isMonitor; });
}

namespace {

struct Query {
    PulseConnection* connection = nullptr;
    AudioDeviceReport* report = nullptr;
    bool serverDone = false;
    bool sourcesDone = false;
};

} // namespace

AudioDeviceReport probeAudioDevices(std::chrono::milliseconds timeout, const QString& server) {
    AudioDeviceReport report;
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    std::unique_ptr<PulseConnection> connection;
    try {
        connection = std::make_unique<PulseConnection>(server, timeout);
    } catch (const SpeechBackendError& e) {
        report.error = QString::fromStdString(e.what());
        return report;
    }
    report.serverReachable = true;
    Query query{connection.get(), &report};
    PulseConnection::Lock lock(*connection);
    pa_operation* serverOp = pa_context_get_server_info(
        connection->context(),
        [](pa_context*, const pa_server_info* info, void* data) {
            auto* q = static_cast<Query*>(data);
            if (info) {
                q->report->server = QStringLiteral("%1 %2").arg(QString::fromUtf8(info->server_name),
                                                                QString::fromUtf8(info->server_version));
                q->report->defaultSource = QString::fromUtf8(info->default_source_name);
            }
            q->serverDone = true;
            q->connection->signal();
        },
        &query);
    pa_operation* sourcesOp = pa_context_get_source_info_list(
        connection->context(),
        [](pa_context*, const pa_source_info* info, int eol, void* data) {
            auto* q = static_cast<Query*>(data);
            if (eol != 0 || !info) {
                q->sourcesDone = true;
                q->connection->signal();
                return;
            }
            q->report->sources.append({QString::fromUtf8(info->name), QString::fromUtf8(info->description),
                                       info->monitor_of_sink != PA_INVALID_INDEX});
        },
        &query);
    const bool answered =
        serverOp && sourcesOp &&
        connection->waitUntil([&query] { return query.serverDone && query.sourcesDone; }, deadline);
    for (pa_operation* op : {serverOp, sourcesOp}) {
        if (op) {
            pa_operation_cancel(op);
            pa_operation_unref(op);
        }
    }
    if (!answered) {
        report.error = (serverOp && sourcesOp)
                           ? Localization::format("audio.error.list_timeout", pulse::describeTimeout(timeout))
                           : Localization::format("audio.error.list_failed", connection->lastError());
    }
    return report;
}

bool hasAudioCaptureDevice(std::chrono::milliseconds timeout) {
    return probeAudioDevices(timeout).hasCaptureDevice();
}

} // namespace quillory
