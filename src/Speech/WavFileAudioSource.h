#pragma once

#include "Speech/SpeechBackend.h"

#include <QStringList>

#include <atomic>
#include <thread>
#include <vector>

namespace quillory {

/// An audio source that plays a WAV file instead of a microphone (the `transcribe` command and
/// tests). Reads 16-bit PCM or 32-bit float WAV, mono or stereo, at any rate, converts it to
/// 16 kHz mono float, and delivers it in buffers of up to 1024 frames on its own thread.
class WavFileAudioSource final : public AudioSource {
public:
    explicit WavFileAudioSource(QString path);
    ~WavFileAudioSource() override;

    /// Reads and converts the file; throws `SpeechBackendError` with a clear message when the
    /// file is missing, truncated or in a format that is not supported.
    void start(BufferHandler onBuffer) override;
    void stop() override;
    /// Blocks until every buffer has been delivered (or the source was stopped).
    void waitUntilFinished();

    /// The decoded samples of a WAV file's bytes, as 16 kHz mono float. A data size that was never
    /// filled in (0 followed by samples, or the streaming placeholder 0xFFFFFFFF), a data chunk cut
    /// short and a partial last frame are read up to the end of the file, each with a line in
    /// `notes` saying so; anything else unreadable throws `SpeechBackendError`.
    static std::vector<float> decode(const QByteArray& bytes, QStringList* notes = nullptr);
    /// Linear resampling of mono samples.
    static std::vector<float> resample(const std::vector<float>& samples, int fromRate, int toRate);

private:
    QString path_;
    std::thread thread_;
    std::atomic<bool> stopRequested_{false};
};

} // namespace quillory
