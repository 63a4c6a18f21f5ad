#pragma once

#include "Speech/AudioBuffers.h"
#include "Speech/SpeechBackend.h"

#include <QString>

#include <atomic>
#include <chrono>
#include <cstdint>
#include <memory>

struct pa_stream;

namespace quillory {

namespace pulse {
class PulseConnection;
}

struct PulseAudioSourceOptions {
    /// The source (device) to record from; empty for the server's default source.
    QString source;
    /// The server to talk to; empty for the default (PULSE_SERVER, then the user's socket).
    QString server;
    /// The longest `start` waits for the server and the stream together.
    std::chrono::milliseconds startTimeout{3000};
    /// How much audio the server gathers before handing it over; small, so the first words
    /// reach the recogniser as soon as they are spoken.
    std::chrono::milliseconds fragment{20};
};

/// The microphone through the sound server (PulseAudio, or PipeWire's pulse server): a record
/// stream of 16 kHz mono float, delivered in buffers of at most `kAudioBufferFrames` frames on
/// the connection's own thread.
class PulseAudioSource final : public AudioSource {
public:
    explicit PulseAudioSource(PulseAudioSourceOptions options = {});
    ~PulseAudioSource() override;

    /// Connects and waits (at most `startTimeout`) until the stream records. Throws
    /// `SpeechBackendError` with the server's message when there is no server, the source does
    /// not exist or the stream fails.
    void start(BufferHandler onBuffer) override;
    /// Ends the stream and the connection. After it returns no buffer is delivered; calling it
    /// again, or before `start`, does nothing. Called from inside a buffer handler it only
    /// silences the stream (the rest happens on the next `stop`, `start` or destruction).
    void stop() override;
    /// Told when the stream fails or ends while recording (the server died, the device was removed).
    void setFailureHandler(FailureHandler onFailure) override { onFailure_ = std::move(onFailure); }

    /// The name of the source being recorded (after a successful `start`).
    QString sourceName() const { return sourceName_; }

private:
    static void onReadable(pa_stream* stream, std::size_t bytes, void* self);
    static void onStateChanged(pa_stream* stream, void* self);
    void closeStream();
    /// With the lock held: the source records a sink's output rather than a microphone.
    bool isMonitor(uint32_t sourceIndex, std::chrono::steady_clock::time_point deadline);

    PulseAudioSourceOptions options_;
    std::unique_ptr<pulse::PulseConnection> connection_;
    pa_stream* stream_ = nullptr;
    BufferHandler onBuffer_;
    FailureHandler onFailure_;
    SampleChunker chunker_;
    std::atomic<bool> delivering_{false};
    QString sourceName_;
};

} // namespace quillory
