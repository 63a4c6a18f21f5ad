#include "Speech/AudioBuffers.h"

#include <QtEndian>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <limits>

namespace quillory {

SampleChunker::SampleChunker(std::size_t maxFrames) : maxFrames_(std::max<std::size_t>(1, maxFrames)) {
    scratch_.reserve(maxFrames_);
}

void SampleChunker::push(const void* bytes, std::size_t size, const Sink& sink) {
    const auto* p = static_cast<const unsigned char*>(bytes);
    const auto* end = p + size;
    auto flush = [&] {
        if (!scratch_.empty()) {
            sink(std::span<const float>(scratch_.data(), scratch_.size()));
            scratch_.clear();
        }
    };
    while (p < end) {
        if (pendingBytes_ > 0 || std::size_t(end - p) < sizeof(float)) {
            // Complete (or keep) a sample whose bytes straddle two fragments.
            const std::size_t take = std::min<std::size_t>(sizeof(float) - pendingBytes_, std::size_t(end - p));
            std::memcpy(pending_.data() + pendingBytes_, p, take);
            pendingBytes_ += take;
            p += take;
            if (pendingBytes_ < sizeof(float)) {
                break;
            }
            scratch_.push_back(qFromLittleEndian<float>(pending_.data()));
            pendingBytes_ = 0;
        } else {
            const std::size_t whole = std::size_t(end - p) / sizeof(float);
            const std::size_t n = std::min(whole, maxFrames_ - scratch_.size());
            const std::size_t at = scratch_.size();
            scratch_.resize(at + n);
            if constexpr (QSysInfo::ByteOrder == QSysInfo::LittleEndian) {
                std::memcpy(scratch_.data() + at, p, n * sizeof(float));
            } else {
                for (std::size_t i = 0; i < n; ++i) {
                    scratch_[at + i] = qFromLittleEndian<float>(p + i * sizeof(float));
                }
            }
            p += n * sizeof(float);
        }
        if (scratch_.size() == maxFrames_) {
            flush();
        }
    }
    flush();
}

void AudioLevels::add(std::span<const float> samples) {
    for (float s : samples) {
        const double v = std::isfinite(s) ? double(s) : 0.0;
        peak_ = std::max(peak_, std::abs(v));
        sumSquares_ += v * v;
    }
    frames_ += samples.size();
}

double AudioLevels::rms() const {
    return frames_ == 0 ? 0.0 : std::sqrt(sumSquares_ / double(frames_));
}

double AudioLevels::toDbfs(double amplitude) {
    if (!(amplitude > 0.0)) {
        return -std::numeric_limits<double>::infinity();
    }
    return 20.0 * std::log10(amplitude);
}

QString AudioLevels::formatDbfs(double dbfs) {
    if (std::isinf(dbfs) && dbfs < 0) {
        return QStringLiteral("-inf dBFS");
    }
    return QStringLiteral("%1 dBFS").arg(dbfs, 0, 'f', 1);
}

QString AudioLevels::meter(double dbfs, int width) {
    width = std::max(1, width);
    constexpr double kFloor = -60.0;
    const double clamped = std::isnan(dbfs) ? kFloor : std::clamp(dbfs, kFloor, 0.0);
    const int filled = int(std::lround((clamped - kFloor) / -kFloor * width));
    return QString(filled, QLatin1Char('#')) + QString(width - filled, QLatin1Char('-'));
}

QByteArray encodeFloatWav(std::span<const float> samples, int sampleRate) {
    constexpr quint16 kFormatFloat = 3;
    constexpr quint16 kChannels = 1;
    constexpr quint16 kBits = 32;
    const quint32 dataBytes = quint32(samples.size() * sizeof(float));
    QByteArray out;
    out.reserve(int(44 + dataBytes));
    auto u32 = [&](quint32 v) {
        char b[4];
        qToLittleEndian(v, b);
        out.append(b, 4);
    };
    auto u16 = [&](quint16 v) {
        char b[2];
        qToLittleEndian(v, b);
        out.append(b, 2);
    };
    out.append("RIFF", 4);
    u32(36 + dataBytes);
    out.append("WAVE", 4);
    out.append("fmt ", 4);
    u32(16);
    u16(kFormatFloat);
    u16(kChannels);
    u32(quint32(sampleRate));
    u32(quint32(sampleRate) * kChannels * kBits / 8);
    u16(kChannels * kBits / 8);
    u16(kBits);
    out.append("data", 4);
    u32(dataBytes);
    for (float s : samples) {
        char b[4];
        qToLittleEndian(s, b);
        out.append(b, 4);
    }
    return out;
}

} // namespace quillory
