#include "Speech/pulse/PulseConnection.h"

#include "Runtime/Localization.h"
#include "Speech/SpeechBackend.h"

#include <pulse/error.h>
#include <pulse/timeval.h>

namespace quillory::pulse {

namespace {

bool isFinal(pa_context_state_t s) {
    return s == PA_CONTEXT_READY || s == PA_CONTEXT_FAILED || s == PA_CONTEXT_TERMINATED;
}

} // namespace

QString describeTimeout(std::chrono::milliseconds timeout) {
    if (timeout.count() % 1000 == 0) {
        return QStringLiteral("%1 s").arg(timeout.count() / 1000);
    }
    return QStringLiteral("%1 ms").arg(timeout.count());
}

PulseConnection::PulseConnection(const QString& server, std::chrono::milliseconds timeout) {
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    loop_ = pa_threaded_mainloop_new();
    if (!loop_) {
        throw SpeechBackendError(L("audio.error.out_of_memory"));
    }
    context_ = pa_context_new(pa_threaded_mainloop_get_api(loop_), "Quillory");
    if (!context_) {
        teardown();
        throw SpeechBackendError(L("audio.error.out_of_memory"));
    }
    pa_context_set_state_callback(
        context_, [](pa_context*, void* self) { static_cast<PulseConnection*>(self)->signal(); }, this);

    const QByteArray serverBytes = server.toUtf8();
    if (pa_context_connect(context_, server.isEmpty() ? nullptr : serverBytes.constData(),
                           PA_CONTEXT_NOAUTOSPAWN, nullptr) < 0) {
        const QString why = lastError();
        teardown();
        throw SpeechBackendError(Localization::format("audio.error.connect", why));
    }
    if (pa_threaded_mainloop_start(loop_) < 0) {
        teardown();
        throw SpeechBackendError(L("audio.error.thread"));
    }
    QString failure;
    {
        Lock lock(*this);
        const bool settled = waitUntil([this] { return isFinal(pa_context_get_state(context_)); }, deadline);
        if (!settled) {
            failure = Localization::format("audio.error.no_answer", describeTimeout(timeout));
        } else if (pa_context_get_state(context_) != PA_CONTEXT_READY) {
            failure = Localization::format("audio.error.connect", lastError());
        }
    }
    if (!failure.isEmpty()) {
        teardown();
        throw SpeechBackendError(failure);
    }
}

PulseConnection::~PulseConnection() {
    teardown();
}

void PulseConnection::teardown() {
    if (loop_) {
        pa_threaded_mainloop_stop(loop_);
    }
    if (context_) {
        pa_context_set_state_callback(context_, nullptr, nullptr);
        pa_context_disconnect(context_);
        pa_context_unref(context_);
        context_ = nullptr;
    }
    if (loop_) {
        pa_threaded_mainloop_free(loop_);
        loop_ = nullptr;
    }
}

QString PulseConnection::lastError() const {
    return QString::fromUtf8(pa_strerror(pa_context_errno(context_)));
}

bool PulseConnection::inLoopThread() const {
    return loop_ && pa_threaded_mainloop_in_thread(loop_);
}

void PulseConnection::signal() {
    pa_threaded_mainloop_signal(loop_, 0);
}

bool PulseConnection::waitUntil(const std::function<bool()>& done,
                                std::chrono::steady_clock::time_point deadline) {
    if (done()) {
        return true;
    }
    const auto remaining =
        std::chrono::duration_cast<std::chrono::microseconds>(deadline - std::chrono::steady_clock::now());
    if (remaining.count() <= 0) {
        return false;
    }
    struct Alarm {
        PulseConnection* self;
        bool rang = false;
    } alarm{this};
    timeval when{};
    pa_gettimeofday(&when);
    pa_timeval_add(&when, pa_usec_t(remaining.count()));
    pa_mainloop_api* api = pa_threaded_mainloop_get_api(loop_);
    pa_time_event* event = api->time_new(
        api, &when,
        [](pa_mainloop_api*, pa_time_event*, const timeval*, void* data) {
            auto* a = static_cast<Alarm*>(data);
            a->rang = true;
            a->self->signal();
        },
        &alarm);
    while (!done() && !alarm.rang) {
        pa_threaded_mainloop_wait(loop_);
    }
    api->time_free(event);
    return done();
}

} // namespace quillory::pulse
