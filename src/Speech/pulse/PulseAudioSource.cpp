#include "Speech/pulse/PulseAudioSource.h"

#include "Runtime/Localization.h"
#include "Speech/pulse/PulseConnection.h"
#include "Runtime/Log.h"

#include <pulse/error.h>
#include <pulse/introspect.h>
#include <pulse/stream.h>

namespace quillory {

using pulse::PulseConnection;

PulseAudioSource::PulseAudioSource(PulseAudioSourceOptions options) : options_(std::move(options)) {}

PulseAudioSource::~PulseAudioSource() {
    stop();
}

void PulseAudioSource::start(BufferHandler onBuffer) {
    stop();
    const auto deadline = std::chrono::steady_clock::now() + options_.startTimeout;
    try {
        connection_ = std::make_unique<PulseConnection>(options_.server, options_.startTimeout);
    } catch (const SpeechBackendError& e) {
        qCInfo(lcSpeech).noquote() << "Audio capture failed to start:" << e.what();
        throw;
    }

    const pa_sample_spec spec{PA_SAMPLE_FLOAT32LE, uint32_t(kRecognitionSampleRate), 1};
    QString failure;
    {
        PulseConnection::Lock lock(*connection_);
        stream_ = pa_stream_new(connection_->context(), "Dictation", &spec, nullptr);
        if (!stream_) {
            failure = Localization::format("audio.error.stream", connection_->lastError());
        } else {
            onBuffer_ = std::move(onBuffer);
            chunker_.reset();
            pa_stream_set_read_callback(stream_, &PulseAudioSource::onReadable, this);
            pa_stream_set_state_callback(stream_, &PulseAudioSource::onStateChanged, this);

            pa_buffer_attr attr{};
            attr.maxlength = uint32_t(-1);
            attr.tlength = uint32_t(-1);
            attr.prebuf = uint32_t(-1);
            attr.minreq = uint32_t(-1);
            attr.fragsize = uint32_t(pa_usec_to_bytes(pa_usec_t(options_.fragment.count()) * 1000, &spec));
            const QByteArray device = options_.source.toUtf8();
            // A named source must be that one or none (no quiet fallback to another device); the
            // default source may follow the user when they switch devices.
            const auto flags = pa_stream_flags_t(PA_STREAM_ADJUST_LATENCY |
                                                 (options_.source.isEmpty() ? 0 : PA_STREAM_DONT_MOVE));
            if (pa_stream_connect_record(stream_, options_.source.isEmpty() ? nullptr : device.constData(),
                                         &attr, flags) < 0) {
                failure = Localization::format("audio.error.open_microphone", connection_->lastError());
            } else {
                const auto settled = [this] {
                    const auto s = pa_stream_get_state(stream_);
                    return s == PA_STREAM_READY || s == PA_STREAM_FAILED || s == PA_STREAM_TERMINATED;
                };
                if (!connection_->waitUntil(settled, deadline)) {
                    failure = Localization::format("audio.error.open_timeout",
                                                   pulse::describeTimeout(options_.startTimeout));
                } else if (pa_stream_get_state(stream_) != PA_STREAM_READY) {
                    failure =
                        options_.source.isEmpty()
                            ? Localization::format("audio.error.open_microphone", connection_->lastError())
                            : L("audio.error.open_source").arg(options_.source, connection_->lastError());
                } else {
                    sourceName_ = QString::fromUtf8(pa_stream_get_device_name(stream_));
                    if (options_.source.isEmpty() &&
                        isMonitor(pa_stream_get_device_index(stream_), deadline)) {
                        // With no microphone the server falls back to what the speakers play;
                        // dictating that would type out whatever video is running.
                        failure = Localization::format("audio.error.only_monitor", sourceName_);
                    } else {
                        delivering_ = true;
                    }
                }
            }
        }
    }
    if (!failure.isEmpty()) {
        stop();
        qCInfo(lcSpeech).noquote() << "Audio capture failed to start:" << failure;
        throw SpeechBackendError(failure);
    }
    qCInfo(lcSpeech).noquote() << "Recording from" << sourceName_;
}

bool PulseAudioSource::isMonitor(uint32_t sourceIndex, std::chrono::steady_clock::time_point deadline) {
    struct Answer {
        PulseConnection* connection;
        bool done = false;
        bool monitor = false;
    } answer{connection_.get()};
    pa_operation* op = pa_context_get_source_info_by_index(
        connection_->context(), sourceIndex,
        [](pa_context*, const pa_source_info* info, int eol, void* data) {
            auto* a = static_cast<Answer*>(data);
            if (eol == 0 && info) {
                a->monitor = info->monitor_of_sink != PA_INVALID_INDEX;
                return;
            }
            a->done = true;
            a->connection->signal();
        },
        &answer);
    if (!op) {
        return false;
    }
    connection_->waitUntil([&answer] { return answer.done; }, deadline);
    pa_operation_cancel(op);
    pa_operation_unref(op);
    return answer.monitor;
}

void PulseAudioSource::stop() {
    delivering_ = false;
    if (!connection_) {
        return;
    }
    if (connection_->inLoopThread()) {
        // Inside our own callback: the lock is held by this thread, tearing down has to wait.
        return;
    }
    {
        PulseConnection::Lock lock(*connection_);
        closeStream();
    }
    connection_.reset();
    onBuffer_ = nullptr;
}

void PulseAudioSource::closeStream() {
    if (!stream_) {
        return;
    }
    pa_stream_set_read_callback(stream_, nullptr, nullptr);
    pa_stream_set_state_callback(stream_, nullptr, nullptr);
    if (pa_stream_get_state(stream_) == PA_STREAM_READY ||
        pa_stream_get_state(stream_) == PA_STREAM_CREATING) {
        pa_stream_disconnect(stream_);
    }
    pa_stream_unref(stream_);
    stream_ = nullptr;
}

void PulseAudioSource::onReadable(pa_stream* stream, std::size_t, void* data) {
    auto* self = static_cast<PulseAudioSource*>(data);
    while (pa_stream_readable_size(stream) > 0) {
        const void* bytes = nullptr;
        std::size_t size = 0;
        if (pa_stream_peek(stream, &bytes, &size) < 0) {
            qCWarning(lcSpeech).noquote() << "Reading the microphone failed:"
                                          << pa_strerror(pa_context_errno(pa_stream_get_context(stream)));
            return;
        }
        if (size == 0) {
            return; // nothing buffered after all
        }
        if (!bytes) {
            self->chunker_.reset(); // a gap: the server dropped audio
        } else if (self->delivering_) {
            self->chunker_.push(bytes, size, [self](std::span<const float> samples) {
                if (self->delivering_) {
                    self->onBuffer_(samples);
                }
            });
        }
        pa_stream_drop(stream);
    }
}

void PulseAudioSource::onStateChanged(pa_stream* stream, void* data) {
    auto* self = static_cast<PulseAudioSource*>(data);
    const auto state = pa_stream_get_state(stream);
    if ((state == PA_STREAM_FAILED || state == PA_STREAM_TERMINATED) && self->delivering_.exchange(false)) {
        // Not asked for: the server went away or removed the device. Reported once; nothing is
        // delivered any more.
        const QString reason = QString::fromUtf8(pa_strerror(pa_context_errno(pa_stream_get_context(stream))));
        qCWarning(lcSpeech).noquote() << "The microphone stream ended:" << reason;
        if (self->onFailure_) {
            self->onFailure_(Localization::format("audio.error.capture_lost", reason));
        }
    }
    self->connection_->signal();
}

} // namespace quillory
