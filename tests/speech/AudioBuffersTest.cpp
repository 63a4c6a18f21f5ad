// The platform-neutral pieces of audio capture: cutting the server's byte fragments into sample
// buffers, level measurement, and the WAV files the microphone test writes.
#include "Speech/AudioBuffers.h"
#include "Speech/WavFileAudioSource.h"

#include <QtEndian>

#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <numbers>
#include <vector>

using namespace quillory;

namespace {

std::vector<float> ramp(std::size_t n) {
    std::vector<float> v(n);
    for (std::size_t i = 0; i < n; ++i) {
        v[i] = float((i % 4000) + 1) / 8192.0f;
    }
    return v;
}

QByteArray bytesOf(const std::vector<float>& samples) {
    QByteArray b(qsizetype(samples.size() * sizeof(float)), Qt::Uninitialized);
    for (std::size_t i = 0; i < samples.size(); ++i) {
        qToLittleEndian(samples[i], b.data() + i * sizeof(float));
    }
    return b;
}

/// Pushes `bytes` in fragments of the given sizes (cycling) and records every buffer.
struct Collected {
    std::vector<float> samples;
    std::vector<std::size_t> sizes;
};
Collected pushInFragments(SampleChunker& chunker, const QByteArray& bytes, const std::vector<std::size_t>& cuts) {
    Collected out;
    std::size_t at = 0;
    for (std::size_t k = 0; at < std::size_t(bytes.size()); ++k) {
        const std::size_t n = std::min(cuts[k % cuts.size()], std::size_t(bytes.size()) - at);
        chunker.push(bytes.constData() + at, n, [&](std::span<const float> s) {
            out.sizes.push_back(s.size());
            out.samples.insert(out.samples.end(), s.begin(), s.end());
        });
        at += n;
    }
    return out;
}

} // namespace

TEST(SampleChunker, LargeFragmentsAreSplitIntoBuffersOfAtMost1024FramesInOrder) {
    const auto samples = ramp(5000);
    SampleChunker chunker;
    const auto got = pushInFragments(chunker, bytesOf(samples), {5000 * sizeof(float)});
    EXPECT_EQ(got.samples, samples);
    EXPECT_EQ(got.sizes, (std::vector<std::size_t>{1024, 1024, 1024, 1024, 904}));

    // Exactly one buffer's worth stays one buffer; one more sample makes a second, tiny one.
    for (const auto& [frames, expected] : std::vector<std::pair<std::size_t, std::vector<std::size_t>>>{
             {1024, {1024}}, {1025, {1024, 1}}, {1, {1}}}) {
        SampleChunker c;
        EXPECT_EQ(pushInFragments(c, bytesOf(ramp(frames)), {frames * sizeof(float)}).sizes, expected) << frames;
    }
}

TEST(SampleChunker, SamplesSplitAcrossFragmentsAreReassembledExactly) {
    const auto samples = ramp(3000);
    const QByteArray bytes = bytesOf(samples);
    // Odd cut sizes put sample boundaries at every byte offset, including 1-byte fragments.
    for (const auto& cuts : std::vector<std::vector<std::size_t>>{{1}, {3}, {5, 2, 7}, {4097}, {1283, 1}}) {
        SampleChunker chunker;
        const auto got = pushInFragments(chunker, bytes, cuts);
        EXPECT_EQ(got.samples, samples) << "cut " << cuts.front();
        for (std::size_t n : got.sizes) {
            EXPECT_GE(n, 1u);
            EXPECT_LE(n, std::size_t(kAudioBufferFrames));
        }
    }
}

TEST(SampleChunker, ResetDropsAHalfSampleSoTheNextFragmentStaysAligned) {
    SampleChunker chunker;
    std::vector<float> got;
    auto sink = [&](std::span<const float> s) { got.insert(got.end(), s.begin(), s.end()); };
    const QByteArray first = bytesOf({0.25f, 0.5f});
    chunker.push(first.constData(), 6, sink); // one sample and half of the next
    EXPECT_EQ(got, std::vector<float>{0.25f});
    chunker.reset(); // the server reported a gap
    const QByteArray next = bytesOf({-0.75f});
    chunker.push(next.constData(), std::size_t(next.size()), sink);
    EXPECT_EQ(got, (std::vector<float>{0.25f, -0.75f}));

}

TEST(AudioLevels, PeakAndRmsInDbfs) {
    AudioLevels silence;
    EXPECT_TRUE(std::isinf(silence.peakDbfs()) && silence.peakDbfs() < 0);
    EXPECT_EQ(AudioLevels::formatDbfs(silence.rmsDbfs()), "-inf dBFS");
    silence.add(std::vector<float>(100, 0.0f));
    EXPECT_EQ(silence.frames(), 100u);
    EXPECT_EQ(AudioLevels::formatDbfs(silence.rmsDbfs()), "-inf dBFS");

    // A full-scale sine: peak 0 dBFS, RMS -3.01 dBFS, accumulated over several buffers.
    std::vector<float> sine(1600);
    for (std::size_t i = 0; i < sine.size(); ++i) {
        sine[i] = float(std::sin(2.0 * std::numbers::pi * 440.0 * double(i) / 16000.0));
    }
    AudioLevels levels;
    levels.add(std::span(sine).first(700));
    levels.add(std::span(sine).subspan(700));
    EXPECT_NEAR(levels.peakDbfs(), 0.0, 0.01);
    EXPECT_NEAR(levels.rmsDbfs(), -3.01, 0.02);
    EXPECT_EQ(AudioLevels::formatDbfs(levels.rmsDbfs()), "-3.0 dBFS");

    // Negative samples count by magnitude; a broken sample (NaN) does not poison the result.
    AudioLevels odd;
    odd.add(std::vector<float>{-0.5f, std::nanf(""), 0.1f});
    EXPECT_NEAR(odd.peak(), 0.5, 1e-9);
    EXPECT_TRUE(std::isfinite(odd.rmsDbfs()));
}

TEST(AudioLevels, MeterSpansMinusSixtyToZeroDbfs) {
    EXPECT_EQ(AudioLevels::meter(0.0, 10), "##########");
    EXPECT_EQ(AudioLevels::meter(6.0, 10), "##########"); // clipped input does not overflow
    EXPECT_EQ(AudioLevels::meter(-30.0, 10), "#####-----");
    EXPECT_EQ(AudioLevels::meter(-60.0, 10), "----------");
    EXPECT_EQ(AudioLevels::meter(AudioLevels::toDbfs(0.0), 10), "----------");
    EXPECT_EQ(AudioLevels::meter(std::nan(""), 4), "----");
    EXPECT_EQ(AudioLevels::meter(-30.0).size(), 40);
}

TEST(FloatWav, ReadsBackThroughTheWavReaderUnchanged) {
    const auto samples = ramp(20000);
    const QByteArray wav = encodeFloatWav(samples);
    EXPECT_EQ(wav.size(), 44 + qsizetype(samples.size() * sizeof(float)));
    EXPECT_EQ(WavFileAudioSource::decode(wav), samples);

    // An empty recording (stopped before any audio came) is still a valid, empty file.
    EXPECT_TRUE(WavFileAudioSource::decode(encodeFloatWav({})).empty());
}

namespace {
/// `wav` with its data chunk's size field (the float WAV writer's header is 44 bytes) set to `size`.
QByteArray withDataSize(QByteArray wav, quint32 size) {
    qToLittleEndian<quint32>(size, wav.data() + 40);
    return wav;
}
} // namespace

TEST(WavReader, ADataSizeNeverFilledInIsReadToTheEndOfTheFileAndSaysSo) {
    const auto samples = ramp(3000);
    const QByteArray wav = encodeFloatWav(samples);

    // A recorder that stopped before writing the size leaves 0 (or streams with 0xFFFFFFFF).
    for (quint32 placeholder : {0u, 0xFFFFFFFFu}) {
        QStringList notes;
        EXPECT_EQ(WavFileAudioSource::decode(withDataSize(wav, placeholder), &notes), samples) << placeholder;
        ASSERT_EQ(notes.size(), 1) << placeholder;
        EXPECT_TRUE(notes.first().contains(QStringLiteral("reading"))) << notes.first().toStdString();
    }

    // A size of 0 followed by another chunk is an empty recording, not audio.
    QByteArray empty = encodeFloatWav({});
    empty += QByteArray("LIST\x04\x00\x00\x00INFO", 12);
    QStringList notes;
    EXPECT_TRUE(WavFileAudioSource::decode(empty, &notes).empty());
    EXPECT_TRUE(notes.isEmpty());
    EXPECT_TRUE(WavFileAudioSource::decode(encodeFloatWav({}), &notes).empty());
    EXPECT_TRUE(notes.isEmpty());
}

TEST(WavReader, AFileCutShortKeepsEveryWholeFrameAndSaysSo) {
    const auto samples = ramp(3000);
    const QByteArray wav = encodeFloatWav(samples);

    // One byte missing: every sample but the cut one is read.
    QStringList notes;
    const auto read = WavFileAudioSource::decode(wav.left(wav.size() - 1), &notes);
    EXPECT_EQ(read, std::vector<float>(samples.begin(), samples.end() - 1));
    ASSERT_FALSE(notes.isEmpty());
    EXPECT_TRUE(notes.first().contains(QStringLiteral("Truncated"))) << notes.first().toStdString();

    // Half the data gone: the half that is there.
    notes.clear();
    const qsizetype half = 44 + qsizetype(samples.size() / 2 * sizeof(float));
    EXPECT_EQ(WavFileAudioSource::decode(wav.left(half), &notes),
              std::vector<float>(samples.begin(), samples.begin() + qsizetype(samples.size() / 2)));
    EXPECT_EQ(notes.size(), 1);

    // A whole file says nothing.
    notes.clear();
    EXPECT_EQ(WavFileAudioSource::decode(wav, &notes), samples);
    EXPECT_TRUE(notes.isEmpty());
}
