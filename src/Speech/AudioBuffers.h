#pragma once

#include "Speech/SpeechBackend.h"

#include <QByteArray>
#include <QString>

#include <array>
#include <cstddef>
#include <span>
#include <vector>

namespace quillory {

/// Turns the raw little-endian float32 mono bytes a sound server hands over into sample buffers
/// of at most `maxFrames` frames. Bytes of a sample split across two fragments are kept until
/// the rest arrives, so a fragment boundary never shifts or corrupts the samples after it.
class SampleChunker {
public:
    using Sink = std::function<void(std::span<const float> samples)>;

    explicit SampleChunker(std::size_t maxFrames = kAudioBufferFrames);

    /// Hands every complete sample of `bytes` (plus any bytes left from the previous call) to
    /// `sink`, in order, in buffers of 1..maxFrames samples.
    void push(const void* bytes, std::size_t size, const Sink& sink);
    /// Forgets a partial sample (after a gap in the stream or a restart).
    void reset() { pendingBytes_ = 0; }

private:
    std::size_t maxFrames_;
    std::vector<float> scratch_;
    std::array<unsigned char, sizeof(float)> pending_{};
    std::size_t pendingBytes_ = 0;
};

/// Peak and RMS of a run of samples.
class AudioLevels {
public:
    void add(std::span<const float> samples);
    void reset() { *this = AudioLevels(); }

    std::size_t frames() const { return frames_; }
    /// The largest absolute sample (0 with no samples).
    double peak() const { return peak_; }
    /// Root mean square of every sample so far (0 with no samples).
    double rms() const;
    double peakDbfs() const { return toDbfs(peak()); }
    double rmsDbfs() const { return toDbfs(rms()); }

    /// 20·log10(amplitude) relative to full scale 1.0; minus infinity for silence.
    static double toDbfs(double amplitude);
    /// "-12.3 dBFS", or "-inf dBFS" for silence.
    static QString formatDbfs(double dbfs);
    /// A meter of `width` cells spanning -60..0 dBFS: '#' up to the level, '-' after it.
    static QString meter(double dbfs, int width = 40);

private:
    std::size_t frames_ = 0;
    double peak_ = 0.0;
    double sumSquares_ = 0.0;
};

/// A complete mono 32-bit float WAV file (IEEE float, format 3) of the samples.
QByteArray encodeFloatWav(std::span<const float> samples, int sampleRate = kRecognitionSampleRate);

} // namespace quillory
