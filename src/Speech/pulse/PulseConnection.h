#pragma once

#include <QString>

#include <pulse/context.h>
#include <pulse/thread-mainloop.h>

#include <chrono>
#include <functional>

namespace quillory::pulse {

/// A connection to the sound server (PulseAudio, or PipeWire's pulse server) with its own
/// threaded main loop. The constructor returns once the context is ready, or throws
/// `SpeechBackendError` with the server's own wording; it never waits longer than `timeout`.
/// Only plain protocol features are used, so both servers behave alike.
class PulseConnection {
public:
    /// `server`: empty for the default (PULSE_SERVER, then the user's runtime socket). A server
    /// is never spawned.
    PulseConnection(const QString& server, std::chrono::milliseconds timeout);
    ~PulseConnection();
    PulseConnection(const PulseConnection&) = delete;
    PulseConnection& operator=(const PulseConnection&) = delete;

    pa_threaded_mainloop* loop() const { return loop_; }
    pa_context* context() const { return context_; }

    /// The server's description of the context's last error ("Connection refused", ...).
    QString lastError() const;
    /// True on the main loop's own thread (inside a callback).
    bool inLoopThread() const;

    /// With the lock held: waits until `done()` holds, signalled by callbacks through
    /// `signal()`, or until `deadline`. Returns `done()`.
    bool waitUntil(const std::function<bool()>& done, std::chrono::steady_clock::time_point deadline);
    /// Wakes `waitUntil` (from a callback).
    void signal();

    /// Holds the main loop's lock for a scope.
    class Lock {
    public:
        explicit Lock(const PulseConnection& c) : loop_(c.loop_) { pa_threaded_mainloop_lock(loop_); }
        ~Lock() { pa_threaded_mainloop_unlock(loop_); }
        Lock(const Lock&) = delete;
        Lock& operator=(const Lock&) = delete;

    private:
        pa_threaded_mainloop* loop_;
    };

private:
    void teardown();

    pa_threaded_mainloop* loop_ = nullptr;
    pa_context* context_ = nullptr;
};

/// "3 s", "250 ms": a wait as users read it.
QString describeTimeout(std::chrono::milliseconds timeout);

} // namespace quillory::pulse
