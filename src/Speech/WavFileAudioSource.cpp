#include "Speech/WavFileAudioSource.h"

#include "Runtime/Log.h"

#include <QFile>
#include <QtEndian>

#include <algorithm>
#include <cmath>
#include <cstring>

namespace quillory {

namespace {

constexpr quint16 kFormatPcm = 1;
constexpr quint16 kFormatFloat = 3;
constexpr quint16 kFormatExtensible = 0xFFFE;

[[noreturn]] void fail(const QString& message) {
    throw SpeechBackendError(message);
}

quint16 u16(const char* p) {
    return qFromLittleEndian<quint16>(p);
}
quint32 u32(const char* p) {
    return qFromLittleEndian<quint32>(p);
}

/// Whether `p` (with `available` bytes) opens with a chunk header whose body fits: four printable
/// ASCII characters and a size within the bytes that follow.
bool startsWithChunk(const char* p, qsizetype available) {
    if (available < 8) {
        return false;
    }
    for (int i = 0; i < 4; ++i) {
        if (p[i] < 0x20 || p[i] > 0x7E) {
            return false;
        }
    }
    return qsizetype(u32(p + 4)) <= available - 8;
}

} // namespace

WavFileAudioSource::WavFileAudioSource(QString path) : path_(std::move(path)) {}

WavFileAudioSource::~WavFileAudioSource() {
    stop();
}

std::vector<float> WavFileAudioSource::decode(const QByteArray& bytes, QStringList* notes) {
    const auto note = [notes](const QString& text) {
        if (notes) {
            notes->append(text);
        }
    };
    const char* d = bytes.constData();
    const qsizetype size = bytes.size();
    if (size < 12 || std::memcmp(d, "RIFF", 4) != 0 || std::memcmp(d + 8, "WAVE", 4) != 0) {
        fail(QStringLiteral("Not a WAV file (no RIFF/WAVE header)"));
    }
    quint16 format = 0, channels = 0, bits = 0;
    quint32 rate = 0;
    bool haveFormat = false;
    const char* data = nullptr;
    qsizetype dataSize = 0;
    qsizetype pos = 12;
    while (pos + 8 <= size) {
        const char* chunk = d + pos;
        const quint32 chunkSize = u32(chunk + 4);
        const qsizetype body = pos + 8;
        if (std::memcmp(chunk, "fmt ", 4) == 0) {
            if (chunkSize < 16 || body + 16 > size) {
                fail(QStringLiteral("Truncated WAV file (format chunk cut short)"));
            }
            format = u16(d + body);
            channels = u16(d + body + 2);
            rate = u32(d + body + 4);
            bits = u16(d + body + 14);
            if (format == kFormatExtensible) {
                if (chunkSize < 40 || body + 40 > size) {
                    fail(QStringLiteral("Truncated WAV file (extensible format chunk cut short)"));
                }
                format = u16(d + body + 24); // the sub-format's leading code
            }
            haveFormat = true;
        } else if (std::memcmp(chunk, "data", 4) == 0) {
            if (!haveFormat) {
                fail(QStringLiteral("Invalid WAV file (data before the format chunk)"));
            }
            const qsizetype present = size - body;
            data = d + body;
            dataSize = chunkSize;
            if (chunkSize == 0xFFFFFFFFu) {
                // Written by a recorder that streams: the size was never filled in.
                dataSize = present;
                note(QStringLiteral("WAV data size not set (streamed file): reading the %1 bytes to the end")
                         .arg(present));
            } else if (chunkSize == 0 && present > 0 && !startsWithChunk(d + body, present)) {
                // A size of 0 followed by samples: the recorder stopped before writing the size.
                dataSize = present;
                note(QStringLiteral("WAV data size is 0 but %1 bytes follow: reading them to the end").arg(present));
            } else if (qsizetype(chunkSize) > present) {
                dataSize = present;
                note(QStringLiteral("Truncated WAV file (%1 of %2 data bytes present): reading what is there")
                         .arg(present)
                         .arg(chunkSize));
            }
            break;
        }
        pos = body + qsizetype(chunkSize) + (chunkSize & 1);
    }
    if (!haveFormat) {
        fail(QStringLiteral("Invalid WAV file (no format chunk)"));
    }
    if (!data) {
        fail(QStringLiteral("Invalid WAV file (no data chunk)"));
    }
    if (channels != 1 && channels != 2) {
        fail(QStringLiteral("Unsupported WAV file: %1 channels (mono or stereo only)").arg(channels));
    }
    if (rate == 0 || rate > 768000) {
        fail(QStringLiteral("Invalid WAV file: sample rate %1").arg(rate));
    }
    if (rate < 8000) {
        // Below telephone quality there is no speech to recognise, and the conversion to 16 kHz
        // would blow a small file up (a header claiming 1 Hz turns each sample into 16,000).
        fail(QStringLiteral("Unsupported WAV file: sample rate %1 Hz (8000 Hz or more)").arg(rate));
    }
    const bool pcm16 = format == kFormatPcm && bits == 16;
    const bool float32 = format == kFormatFloat && bits == 32;
    if (!pcm16 && !float32) {
        fail(QStringLiteral("Unsupported WAV encoding (format %1, %2 bits): 16-bit PCM or 32-bit float only")
                 .arg(format)
                 .arg(bits));
    }
    const int bytesPerSample = bits / 8;
    const qsizetype frameBytes = qsizetype(bytesPerSample) * channels;
    if (const qsizetype partial = dataSize % frameBytes; partial != 0) {
        note(QStringLiteral("Truncated WAV file (%1 bytes of a sample frame at the end are left out)").arg(partial));
        dataSize -= partial;
    }
    const qsizetype frames = dataSize / frameBytes;
    std::vector<float> mono(std::size_t(frames), 0.0f);
    for (qsizetype i = 0; i < frames; ++i) {
        float sum = 0.0f;
        for (int c = 0; c < channels; ++c) {
            const char* p = data + i * frameBytes + qsizetype(c) * bytesPerSample;
            if (pcm16) {
                sum += float(qFromLittleEndian<qint16>(p)) / 32768.0f;
            } else {
                quint32 raw = u32(p);
                float f;
                std::memcpy(&f, &raw, sizeof f);
                // Full scale is ±1: louder samples are clipped (two huge ones would sum to inf).
                sum += std::isfinite(f) ? std::clamp(f, -1.0f, 1.0f) : 0.0f;
            }
        }
        mono[std::size_t(i)] = sum / float(channels);
    }
    return resample(mono, int(rate), kRecognitionSampleRate);
}

std::vector<float> WavFileAudioSource::resample(const std::vector<float>& samples, int fromRate, int toRate) {
    if (fromRate == toRate || samples.empty()) {
        return samples;
    }
    const double ratio = double(fromRate) / double(toRate);
    const std::size_t outCount = std::size_t(double(samples.size()) / ratio);
    std::vector<float> out(outCount);
    for (std::size_t i = 0; i < outCount; ++i) {
        const double x = double(i) * ratio;
        const std::size_t j = std::size_t(x);
        const double frac = x - double(j);
        const float a = samples[std::min(j, samples.size() - 1)];
        const float b = samples[std::min(j + 1, samples.size() - 1)];
        out[i] = float(a + (b - a) * frac);
    }
    return out;
}

void WavFileAudioSource::start(BufferHandler onBuffer) {
    stop();
    QFile file(path_);
    if (!file.open(QIODevice::ReadOnly)) {
        fail(QStringLiteral("Cannot open %1: %2").arg(path_, file.errorString()));
    }
    QStringList notes;
    auto samples = std::make_shared<std::vector<float>>(decode(file.readAll(), &notes));
    for (const QString& n : notes) {
        qCWarning(lcSpeech, "%s: %s", qUtf8Printable(path_), qUtf8Printable(n));
    }
    stopRequested_ = false;
    thread_ = std::thread([this, samples, onBuffer = std::move(onBuffer)] {
        for (std::size_t at = 0; at < samples->size() && !stopRequested_; at += kAudioBufferFrames) {
            const std::size_t n = std::min<std::size_t>(kAudioBufferFrames, samples->size() - at);
            onBuffer(std::span<const float>(samples->data() + at, n));
        }
    });
}

void WavFileAudioSource::waitUntilFinished() {
    if (thread_.joinable()) {
        thread_.join();
    }
}

void WavFileAudioSource::stop() {
    stopRequested_ = true;
    if (thread_.joinable() && thread_.get_id() != std::this_thread::get_id()) {
        thread_.join();
    }
}

} // namespace quillory
