#pragma once

#include "SessionFakes.h"
#include "support/CoreTest.h"

#include "Dictionary/UserDictionary.h"
#include "Runtime/Localization.h"

#include <QLoggingCategory>

namespace quillory::testing {

/// An application state wired to fakes, on virtual time.
class SessionTest : public CoreTest {
protected:
    void SetUp() override {
        CoreTest::SetUp();
        QLoggingCategory::setFilterRules(QStringLiteral("app.quillory.quillory.*=false"));
        Localization::setLanguage(Localization::Language::English);
        speech = std::make_shared<FakeSpeechService>();
        input = std::make_shared<FakeInsertion>();
        permissions = std::make_shared<FakePermissions>();
        environment = std::make_shared<FakeEnvironment>();
        polish = std::make_shared<FakePolish>();
        state = std::make_unique<AppState>(AppStateServices{speech, input, permissions, environment, polish});
        wire();
    }
    /// Lets the fakes see the state's session and status.
    void wire() {
        input->currentSession = [this] { return state->dictationSessionNonce(); };
        input->isRecording = [this] { return state->isRecording(); };
        speech->currentSession = [this] { return state->dictationSessionNonce(); };
    }
    void TearDown() override {
        state.reset();
        CoreTest::TearDown();
    }

    void settle() { clock_.runPending(); }
    void advance(double s) { clock_.advance(seconds(s)); }

    /// Push-to-talk press, with the attach task run.
    void press() {
        state->handleHotkeyPress();
        settle();
    }
    void release() {
        state->handleHotkeyRelease();
        settle();
    }
    void partial(const QString& text) {
        speech->partial(text);
        settle();
    }
    void finalText(const QString& text) {
        speech->completeText(text);
        settle();
    }
    void fail(const SpeechError& e) {
        speech->fail(e);
        settle();
    }
    /// One whole dictation: press, partials, release, final result.
    void dictate(const QStringList& partials, const QString& final) {
        press();
        for (const QString& p : partials) {
            partial(p);
        }
        release();
        finalText(final);
    }
    void addDictionaryEntry(const QString& source, const QString& target) {
        auto entries = UserDictionary::loadEntries();
        entries.push_back({QUuid::createUuid(), source, target});
        UserDictionary::saveEntries(entries);
    }
    QStringList insertedTexts() const {
        QStringList out;
        for (const auto& c : input->commits) {
            out << c.text;
        }
        return out;
    }
    /// The diagnostics messages that start with one of the prefixes, in order.
    QStringList lines(const QStringList& prefixes = {}) const {
        QStringList out;
        for (const QString& m : diagnosticsMessages()) {
            if (prefixes.isEmpty() || std::any_of(prefixes.begin(), prefixes.end(),
                                                  [&](const QString& p) { return m.startsWith(p); })) {
                out << m;
            }
        }
        return out;
    }

    /// "<LEVEL> <message>" of the diagnostics lines whose message starts with one of the prefixes.
    QStringList levelled(const QStringList& prefixes) const {
        QStringList out;
        for (const QString& line : diagnosticsText().split(QLatin1Char('\n'), Qt::SkipEmptyParts)) {
            // "<timestamp> [<category>] <LEVEL> <message>", the level five wide.
            const qsizetype close = line.indexOf(QLatin1String("] "));
            const QString level = line.mid(close + 2, 5).trimmed();
            const QString message = line.mid(close + 2 + 6);
            if (std::any_of(prefixes.begin(), prefixes.end(),
                            [&](const QString& p) { return message.startsWith(p); })) {
                out << level + QLatin1Char(' ') + message.section(QLatin1Char(' '), 0, 0);
            }
        }
        return out;
    }

    std::shared_ptr<FakeSpeechService> speech;
    std::shared_ptr<FakeInsertion> input;
    std::shared_ptr<FakePermissions> permissions;
    std::shared_ptr<FakeEnvironment> environment;
    std::shared_ptr<FakePolish> polish;
    std::unique_ptr<AppState> state;
};

inline QString u(const char16_t* s) {
    return QString::fromUtf16(s);
}

} // namespace quillory::testing
