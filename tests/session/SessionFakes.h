#pragma once

#include "AI/LocalPolishError.h"
#include "AI/PolishService.h"
#include "App/AppState.h"
#include "Input/InputError.h"
#include "Input/InputPlatform.h"
#include "Input/TextInsertion.h"
#include "Permissions/PermissionManager.h"
#include "Permissions/RuntimeEnvironmentStatus.h"
#include "Speech/SpeechBackend.h"
#include "Speech/SpeechService.h"

#include <QMap>

#include <algorithm>
#include <set>

#include <functional>
#include <map>
#include <memory>
#include <vector>

namespace quillory {

/// Reaches the user-stop flag of the state, as the overlay's stop would without cancelling.
struct AppStateTestAccess {
    static void requestCommitStop(AppState& s) { s.userRequestedCommitStop_ = true; }
};

namespace testing {

// ---- speech ----

/// A scripted speech service: the test plays the recogniser's callbacks.
///
/// Each start is one "attach". A start can suspend (a recogniser that loads its model, a source
/// that connects) and can fail or throw; the plan for each attach is drawn when it starts. The
/// fake tracks whether capture runs, as the real manager would: a start begins by tearing down
/// the previous session, a successful start captures, `stop()` ends the audio, a completion or
/// `cleanupSession()` ends the recognition. A start that completes after a cleanup still captures:
/// only its caller can tear such an orphan down.
class FakeSpeechService final : public SpeechService {
public:
    enum class Phase { starting, live, draining, finished };
    struct Callbacks {
        PartialHandler onPartial;
        CompletionHandler onComplete;
        VoiceActivityHandler onVoice;
        ProgressHandler onProgress;
        Phase phase = Phase::starting;
        quint64 session = 0;
    };
    struct StartPlan {
        Duration delay{};
        std::optional<SpeechError> failure;
        bool throws = false;
        /// Fails without sending the failure (a backend that breaks the contract).
        bool silent = false;
    };

    Task<bool> start(QStringList contextualStrings, PartialHandler onPartial, CompletionHandler onComplete,
                     VoiceActivityHandler voiceActivityHandler, ProgressHandler onProgress) override {
        ++startCount;
        lastContextualStrings = contextualStrings;
        if (++startsInFlight > 1) {
            ++overlappingStarts;
        }
        finishRunning(); // the manager tears the previous session down first
        const std::size_t index = attaches.size();
        attaches.push_back({onPartial, onComplete, voiceActivityHandler, onProgress, Phase::starting,
                            currentSession ? currentSession() : 0});
        StartPlan p = plan ? plan() : StartPlan{startDelay, failStartWith, startThrows};
        if (p.delay > Duration::zero()) {
            co_await sleepFor(p.delay);
        }
        --startsInFlight;
        if (p.throws) {
            attaches[index].phase = Phase::finished;
            throw std::runtime_error("capture backend crashed");
        }
        if (p.failure || p.silent) {
            attaches[index].phase = Phase::finished;
            if (p.failure && !p.silent) {
                onComplete(SpeechResult::failure(*p.failure));
            }
            co_return false;
        }
        attaches[index].phase = Phase::live;
        co_return true;
    }
    void stop() override {
        ++stopCount;
        for (auto& a : attaches) {
            if (a.phase == Phase::live) {
                a.phase = Phase::draining;
            }
        }
    }
    Task<> cleanupSession() override {
        ++cleanupCount;
        finishRunning();
        co_return;
    }

    // The latest attach's callbacks (what the recogniser of the running session would call).
    void partial(const QString& text) { attaches.back().onPartial(text); }
    void complete(const SpeechResult& r) {
        if (attaches.back().phase != Phase::starting) {
            attaches.back().phase = Phase::finished;
        }
        attaches.back().onComplete(r);
    }
    void completeText(const QString& text) { complete(SpeechResult::success(text)); }
    void fail(const SpeechError& e) { complete(SpeechResult::failure(e)); }
    void voice(bool active) { attaches.back().onVoice(active); }
    /// A step of the recogniser, optionally with the text it stands by so far.
    void progress(std::optional<QString> confirmedText = std::nullopt,
                  std::optional<std::chrono::milliseconds> silentStep = std::nullopt) {
        if (attaches.back().onProgress) {
            attaches.back().onProgress(Progress{std::move(confirmedText), silentStep});
        }
    }

    /// True while an attach captures audio.
    bool capturing() const {
        return std::any_of(attaches.begin(), attaches.end(),
                           [](const Callbacks& a) { return a.phase == Phase::live; });
    }
    /// The attach whose recogniser still runs (capturing or draining), if any.
    std::optional<std::size_t> running() const {
        for (std::size_t i = attaches.size(); i-- > 0;) {
            if (attaches[i].phase == Phase::live || attaches[i].phase == Phase::draining) {
                return i;
            }
        }
        return std::nullopt;
    }

    int startCount = 0;
    int stopCount = 0;
    int cleanupCount = 0;
    /// A recogniser whose partials hold the whole session's text (and may rewrite it).
    bool wholeSessionPartials = false;
    bool partialsCoverWholeSession() const override { return wholeSessionPartials; }
    int startsInFlight = 0;
    int overlappingStarts = 0;
    bool startThrows = false;
    Duration startDelay{};
    std::optional<SpeechError> failStartWith;
    /// Draws the plan of each attach (overrides the three knobs above).
    std::function<StartPlan()> plan;
    std::function<quint64()> currentSession;
    QStringList lastContextualStrings;
    std::vector<Callbacks> attaches;

private:
    void finishRunning() {
        for (auto& a : attaches) {
            if (a.phase == Phase::live || a.phase == Phase::draining) {
                a.phase = Phase::finished;
            }
        }
    }
};

// ---- insertion ----

/// Records insertions; can fail, throw, or take its time.
class FakeInsertion final : public TextInsertion {
public:
    struct Commit {
        std::optional<QString> baseline;
        QString text;
        quint64 session;
        bool whileRecording;
    };

    std::optional<QString> captureBaselineForLiveDictation() override { return baseline; }

    Task<> commitFinal(std::optional<QString> b, QString finalText, CancellationToken cancel) override {
        const quint64 session = currentSession ? currentSession() : 0;
        if (delay > Duration::zero()) {
            const bool completed = co_await sleepFor(delay, honorCancel ? cancel : CancellationToken());
            if (!completed) {
                throw CancellationError();
            }
        }
        if (throwInputError) {
            throw *throwInputError;
        }
        if (throwOther) {
            throw std::runtime_error("paste backend crashed");
        }
        // A paste of the session that is recording right now would land in the middle of it.
        const bool ownSessionRecording =
            isRecording && isRecording() && currentSession && currentSession() == session;
        commits.push_back({b, finalText, session, ownSessionRecording});
    }

    std::optional<QString> baseline;
    Duration delay{};
    bool honorCancel = true;
    std::optional<InputError> throwInputError;
    bool throwOther = false;
    std::function<quint64()> currentSession;
    std::function<bool()> isRecording;
    std::vector<Commit> commits;
};

// ---- permissions and environment ----

class FakePermissions final : public PermissionManager {
public:
    PermissionState microphone() const override { return mic; }
    PermissionState speech() const override { return speechState; }
    PermissionState accessibility() const override { return ax; }
    void refreshMicrophone() override { ++refreshes; }
    void refreshSpeech() override { ++refreshes; }
    void refreshAccessibility() override { ++refreshes; }
    QString accessibilityFix() const override { return fix; }

    PermissionState mic = PermissionState::authorized;
    QString fix;
    PermissionState speechState = PermissionState::authorized;
    PermissionState ax = PermissionState::authorized;
    int refreshes = 0;
};

class FakeEnvironment final : public RuntimeEnvironmentStatus {
public:
    DictationStatus keyboardDictationStatus() const override { return dictation; }
    DictationStatus dictation = DictationStatus::unknown;
};

// ---- polish ----

/// A scripted polish engine: answers after `delay` with `transform(text)`, or fails.
class FakePolish final : public PolishService {
public:
    enum class Mode { answer, fail, throwCancellation };

    Task<QString> polish(QString text, SpeechLocale, PolishModel model, QString instructions,
                         CancellationToken cancel) override {
        ++calls;
        lastToken = cancel;
        lastModel = model;
        lastInstructions = instructions;
        if (delay > Duration::zero()) {
            const bool completed = co_await sleepFor(delay, honorCancel ? cancel : CancellationToken());
            if (!completed) {
                throw CancellationError();
            }
        }
        if (mode == Mode::fail) {
            throw LocalPolishError::emptyOutput();
        }
        if (mode == Mode::throwCancellation) {
            throw CancellationError();
        }
        co_return transform ? transform(text) : text;
    }
    void stopServer() override {
        ++stopCount;
        if (onStop) {
            onStop();
        }
    }
    void warmUp() override { ++warmUps; }

    Mode mode = Mode::answer;
    Duration delay{};
    bool honorCancel = true;
    std::function<QString(const QString&)> transform;
    int calls = 0;
    int stopCount = 0;
    int warmUps = 0;
    std::optional<PolishModel> lastModel;
    QString lastInstructions;
    CancellationToken lastToken;
    std::function<void()> onStop;
};

// ---- input platform ----

class FakeTrust final : public InjectionTrust {
public:
    bool isTrusted() const override { return trusted; }
    bool trusted = true;
};

class FakeElement final : public AccessibleElement {
public:
    std::optional<QVariant> attribute(const QString& name) const override {
        if (failingReads.contains(name)) {
            return std::nullopt;
        }
        auto it = attributes.find(name);
        return it == attributes.end() ? QVariant() : it->second;
    }
    bool setAttribute(const QString& name, const QVariant& value) override {
        if (!writable.contains(name)) {
            return false;
        }
        attributes[name] = value;
        return true;
    }
    std::map<QString, QVariant> attributes;
    QStringList failingReads;
    QStringList writable;
};

class FakeFocus final : public FocusedElementProvider {
public:
    std::shared_ptr<AccessibleElement> focusedElement() override { return element; }
    std::shared_ptr<FakeElement> element;
};

/// A clipboard item whose contents the test can change after it was handed out.
class FakeItem final : public ClipboardItemSource {
public:
    QStringList types() const override { return order; }
    std::optional<QByteArray> data(const QString& type) const override {
        auto it = datas.find(type);
        return it == datas.end() ? std::nullopt : std::optional<QByteArray>(it->second);
    }
    std::optional<QString> string(const QString& type) const override {
        auto it = strings.find(type);
        return it == strings.end() ? std::nullopt : std::optional<QString>(it->second);
    }
    QStringList order;
    std::map<QString, QByteArray> datas;
    std::map<QString, QString> strings;
};

class FakeClipboard final : public Clipboard {
public:
    qint64 changeCount() const override { return count; }
    std::optional<std::vector<std::shared_ptr<const ClipboardItemSource>>> items() const override {
        if (failRead) {
            return std::nullopt; // the owner does not answer
        }
        std::vector<std::shared_ptr<const ClipboardItemSource>> out(live.begin(), live.end());
        return out;
    }
    qint64 clearContents() override {
        if (throwOnClear) {
            throw std::runtime_error("clipboard owner vanished");
        }
        if (failClear) {
            return -1;
        }
        live.clear();
        return ++count;
    }
    bool setString(const QString& text, const QString& type) override {
        if (throwOnWrite) {
            throw std::runtime_error("clipboard owner vanished");
        }
        if (failWrite) {
            return false;
        }
        auto item = std::make_shared<FakeItem>();
        item->order << type;
        item->strings[type] = text;
        live = {item};
        ++count;
        return true;
    }
    bool writeItems(const std::vector<ClipboardItem>& items) override {
        live.clear();
        for (const auto& copy : items) {
            auto item = std::make_shared<FakeItem>();
            for (const auto& [type, value] : copy.entries) {
                item->order << type;
                if (auto d = std::get_if<QByteArray>(&value)) {
                    item->datas[type] = *d;
                } else {
                    item->strings[type] = std::get<QString>(value);
                }
            }
            live.push_back(item);
        }
        ++count;
        ++restores;
        return true;
    }
    /// Another application copies something.
    void userCopies(const QString& text) {
        auto item = std::make_shared<FakeItem>();
        item->order << stringType;
        item->strings[stringType] = text;
        live = {item};
        ++count;
    }
    bool reportsFetches() const override { return tellsFetches; }
    void whenFetched(std::function<void()> fetched) override { onFetch = std::move(fetched); }
    /// The target reads the clipboard: what it gets (the callback runs as the X11 one would).
    QString fetch() {
        const QString got = text();
        if (auto callback = std::exchange(onFetch, nullptr)) {
            callback();
        }
        return got;
    }
    QString text() const {
        return live.empty() ? QString() : live.front()->string(stringType).value_or(QString());
    }

    std::vector<std::shared_ptr<FakeItem>> live;
    qint64 count = 0;
    int restores = 0;
    bool failClear = false;
    bool failWrite = false;
    /// Throws from the next clears (until reset) / from writes of a string.
    bool throwOnClear = false;
    bool throwOnWrite = false;
    bool failRead = false;
    bool tellsFetches = false;
    std::function<void()> onFetch;
};

class FakeKeys final : public KeyEventPoster {
public:
    bool createEventSource() override { return sourceOk; }
    bool createEvent(const KeyEvent&) override { return eventsOk; }
    void post(const KeyEvent& e) override {
        posted.push_back(e);
        if (onPost) {
            onPost(e);
        }
    }
    bool pasteReadsPrimarySelection() override { return readsPrimary; }
    bool sourceOk = true;
    bool eventsOk = true;
    bool readsPrimary = false;
    std::vector<KeyEvent> posted;
    std::function<void(const KeyEvent&)> onPost;
};

} // namespace testing
} // namespace quillory
