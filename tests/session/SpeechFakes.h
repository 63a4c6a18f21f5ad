#pragma once

#include "Speech/SpeechBackend.h"

#include <atomic>
#include <mutex>

namespace quillory::testing {

class FakeRequest final : public RecognitionRequest {
public:
    explicit FakeRequest(RecognitionOptions o) : options(std::move(o)) {}
    void append(std::span<const float> samples) override {
        std::lock_guard lock(mutex);
        frames += samples.size();
    }
    void endAudio() override { ended = true; }
    void holdDecoding() override { held = true; }
    void setSettledAudioHandler(SettledAudioHandler h) override { settledHandler = std::move(h); }
    SettledAudioHandler settledHandler;
    std::size_t frameCount() {
        std::lock_guard lock(mutex);
        return frames;
    }
    RecognitionOptions options;
    bool ended = false;
    bool held = false;
    std::mutex mutex;
    std::size_t frames = 0;
};

class FakeTask final : public RecognitionTask {
public:
    void cancel() override { *cancelled = true; }
    std::shared_ptr<bool> cancelled = std::make_shared<bool>(false);
};

/// A recogniser whose results the test plays through `handler`.
class FakeRecognizer final : public SpeechRecognizer {
public:
    bool isAvailable() const override { return available; }
    bool supportsOnDeviceRecognition() const override { return onDevice; }
    bool reportsWholeSessionText() const override { return wholeSession; }
    std::shared_ptr<RecognitionRequest> makeRequest(const RecognitionOptions& options) override {
        if (failRequest) {
            return nullptr;
        }
        request = std::make_shared<FakeRequest>(options);
        return request;
    }
    std::unique_ptr<RecognitionTask> recognitionTask(std::shared_ptr<RecognitionRequest>,
                                                     ResultHandler h) override {
        handler = std::move(h);
        auto task = std::make_unique<FakeTask>();
        taskCancelled = task->cancelled;
        return task;
    }
    void send(std::optional<QString> text, bool isFinal, std::optional<QString> error = std::nullopt) {
        handler(SpeechRecognitionSnapshot{std::move(text), isFinal, std::move(error)});
    }

    bool available = true;
    bool onDevice = true;
    bool wholeSession = false;
    bool failRequest = false;
    std::shared_ptr<FakeRequest> request;
    ResultHandler handler;
    std::shared_ptr<bool> taskCancelled;
};

/// An audio source the test feeds by hand (from any thread).
class FakeAudioSource final : public AudioSource {
public:
    void setFailureHandler(FailureHandler h) override { onFailure = std::move(h); }
    void start(BufferHandler onBuffer) override {
        if (failWith) {
            throw SpeechBackendError(*failWith);
        }
        handler = std::move(onBuffer);
        running = true;
    }
    void stop() override { running = false; }
    /// The device goes away (from any thread): reported once, only while running, as a real source does.
    void breakDown(const QString& message) {
        if (running.exchange(false) && onFailure) {
            onFailure(message);
        }
    }
    void feed(float level, std::size_t frames = 1024) {
        std::vector<float> samples(frames, level);
        handler(samples);
    }
    std::optional<QString> failWith;
    BufferHandler handler;
    FailureHandler onFailure;
    std::atomic<bool> running{false};
};

} // namespace quillory::testing
