#pragma once

// Fakes under the streaming recogniser.
//
// Audio convention: silence is 0; speech is a constant level v in (0, 1]. The fake VAD reports runs
// of non-zero samples (gaps under 0.1 s joined); the fake decoder writes, for each run of speech,
// `spoken(v, halves)`: per started half second the kana 'あ' + 2 × round(v × 10) (い, う, え…)
// and a counting digit, so the text grows with the speech, tells segments of different levels
// apart, and never looks like a repetition loop.
//
// Word mode (`wordSeconds` > 0), for speech without pauses: each run of one level of 0.01 or more
// is a word, written `word(level)` (two characters that differ from level to level) when at least
// 40 % of a word's length of it is in the decoded audio — so a word cut in its middle is written by
// both decodes that hold half of it, as a real model tends to. Quieter runs are the short dips
// between words and write nothing.

#include "Speech/SpeechDecoder.h"

#include <QString>

#include <atomic>
#include <cmath>
#include <condition_variable>
#include <deque>
#include <mutex>
#include <thread>

namespace quillory::testing {

inline constexpr qint64 kRate = 16000;
inline qint64 samplesOf(double secondsValue) { return static_cast<qint64>(std::llround(secondsValue * kRate)); }

inline QString spoken(float level, int halves) {
    QString text;
    for (int k = 1; k <= halves; ++k) {
        text += QChar(u'あ' + 2 * static_cast<int>(std::lround(level * 10)));
        text += QChar(u'0' + k % 10);
    }
    return text;
}

inline QString word(float level) {
    const int index = static_cast<int>(std::lround(level * 100));
    return QString(QChar(char16_t(0x4E00 + index))) + QChar(char16_t(0x3041 + index % 80));
}

class FakeDecoder final : public SpeechDecoder {
public:
    struct Call {
        qint64 samples = 0;
        QString prompt;
        int audioCtx = 0;
        std::thread::id thread;
        bool sharingCpu = false;
    };

    DecodeResult decode(std::span<const float> samples, const QString& prompt, int audioCtx,
                        const std::function<bool()>& shouldAbort) override {
        {
            std::lock_guard lock(mutex);
            calls.push_back({static_cast<qint64>(samples.size()), prompt, audioCtx, std::this_thread::get_id(),
                             sharingCpu.load()});
        }
        const int index = static_cast<int>(callCount()) - 1;
        // As whisper.cpp does when its encoder pass begins.
        if (shouldAbort()) {
            return {DecodeResult::Status::aborted, {}, {}};
        }
        running.fetch_add(1);
        const std::shared_ptr<void> over(nullptr, [this](void*) { running.fetch_sub(1); });
        if (blocking) {
            std::unique_lock lock(mutex);
            entered = true;
            changed.notify_all();
            while (!released) {
                if (shouldAbort()) {
                    return {DecodeResult::Status::aborted, {}, {}};
                }
                changed.wait_for(lock, std::chrono::milliseconds(1));
            }
        }
        if (failAtCall == index) {
            return {DecodeResult::Status::failed, {}, QStringLiteral("out of memory in the encoder")};
        }
        if (loopText) {
            return {DecodeResult::Status::ok, {*loopText}, {}};
        }
        DecodeResult result;
        if (wordSeconds > 0) {
            for (std::size_t i = 0; i < samples.size();) {
                const float level = samples[i];
                std::size_t j = i;
                while (j < samples.size() && samples[j] == level) {
                    ++j;
                }
                if (level >= 0.01f && static_cast<double>(j - i) >= 0.4 * wordSeconds * kRate) {
                    result.segments.push_back(word(level));
                }
                i = j;
            }
            return result;
        }
        std::size_t i = 0;
        while (i < samples.size()) {
            if (samples[i] == 0.0f) {
                ++i;
                continue;
            }
            const float level = samples[i];
            std::size_t j = i;
            while (j < samples.size() && samples[j] == level) {
                ++j;
            }
            const auto halves = static_cast<int>((j - i + samplesOf(0.5) - 1) / samplesOf(0.5));
            result.segments.push_back(mark + spoken(level, halves));
            i = j;
        }
        return result;
    }

    DetectResult detectSpeech(std::span<const float> samples) override {
        vadCalls.fetch_add(1);
        if (vadFails) {
            return DetectResult::failure(QStringLiteral("the VAD failed"));
        }
        DetectResult result;
        std::vector<SpeechSpan>& spans = result.spans;
        for (std::size_t i = 0; i < samples.size();) {
            if (samples[i] == 0.0f) {
                ++i;
                continue;
            }
            std::size_t j = i;
            while (j < samples.size() && samples[j] != 0.0f) {
                ++j;
            }
            const auto start = static_cast<qint64>(i);
            const auto end = static_cast<qint64>(j);
            if (!spans.empty() && start - spans.back().end < samplesOf(0.1)) {
                spans.back().end = end;
            } else {
                spans.push_back({start, end});
            }
            i = j;
        }
        return result;
    }

    int maxPromptTokens() const override { return promptTokens; }
    int tokenCount(const QString& text) const override {
        tokenCounts.fetch_add(1);
        longestCounted.store(std::max<qint64>(longestCounted.load(), text.size()));
        return static_cast<int>(text.size());
    }
    void setSharingCpu(bool sharing) override { sharingCpu = sharing; }
    void beginRecognition() override {
        ++recognitionsBegun;
        ++inUse;
    }
    void endRecognition() override {
        ++recognitionsEnded;
        --inUse;
        decodesAtLastEnd = static_cast<int>(callCount());
    }

    std::size_t callCount() {
        std::lock_guard lock(mutex);
        return calls.size();
    }
    std::vector<Call> callsCopy() {
        std::lock_guard lock(mutex);
        return calls;
    }
    bool waitUntilEntered() {
        std::unique_lock lock(mutex);
        return changed.wait_for(lock, std::chrono::seconds(10), [this] { return entered; });
    }
    void release() {
        std::lock_guard lock(mutex);
        released = true;
        changed.notify_all();
    }

    std::mutex mutex;
    std::condition_variable changed;
    std::vector<Call> calls;
    std::atomic<int> vadCalls{0};
    /// Decodes under way on some thread.
    std::atomic<int> running{0};
    /// Recognitions begun and ended on this decoder, those under way, and the decodes made
    /// before the last end.
    std::atomic<int> recognitionsBegun{0};
    std::atomic<int> recognitionsEnded{0};
    std::atomic<int> inUse{0};
    std::atomic<int> decodesAtLastEnd{-1};
    std::atomic<bool> sharingCpu{false};
    int promptTokens = 20;
    double wordSeconds = 0;
    /// Calls of `tokenCount` and the longest text it was given.
    mutable std::atomic<int> tokenCounts{0};
    mutable std::atomic<qint64> longestCounted{0};
    /// Put before each piece of text, to tell decoders apart.
    QString mark;
    int failAtCall = -1;
    bool vadFails = false;
    std::optional<QString> loopText;
    bool blocking = false;
    bool entered = false;
    bool released = false;
};

/// A worker the test runs by hand on its own thread: jobs wait until `runNext`/`runAll`.
class ManualWorker final : public RecognitionWorker {
public:
    void post(std::function<void()> job) override {
        std::lock_guard lock(mutex);
        jobs.push_back(std::move(job));
        maxQueued = std::max(maxQueued, jobs.size());
    }
    bool runNext() {
        std::function<void()> job;
        {
            std::lock_guard lock(mutex);
            if (jobs.empty()) {
                return false;
            }
            job = std::move(jobs.front());
            jobs.pop_front();
        }
        job();
        return true;
    }
    std::size_t queued() {
        std::lock_guard lock(mutex);
        return jobs.size();
    }
    std::mutex mutex;
    std::deque<std::function<void()>> jobs;
    std::size_t maxQueued = 0;
};

} // namespace quillory::testing
