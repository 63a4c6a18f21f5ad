#include "SessionFakes.h"
#include "support/CoreTest.h"

#include "Input/InputEngine.h"
#include "Runtime/Localization.h"

#include <QLoggingCategory>

namespace quillory::testing {
namespace {

class InputEngineTest : public CoreTest {
protected:
    void SetUp() override {
        CoreTest::SetUp();
        QLoggingCategory::setFilterRules(QStringLiteral("app.quillory.quillory.*=false"));
        Localization::setLanguage(Localization::Language::English);
        trust = std::make_shared<FakeTrust>();
        focus = std::make_shared<FakeFocus>();
        clipboard = std::make_shared<FakeClipboard>();
        keys = std::make_shared<FakeKeys>();
        engine = std::make_unique<InputEngine>(InputPlatform{trust, focus, clipboard, keys});
        // Whatever was on the clipboard at the paste.
        keys->onPost = [this](const KeyEvent& e) {
            if (e.keyDown) {
                pasted << clipboard->text();
            }
        };
    }
    void focusOn(const QString& role, QVariant value) {
        focus->element = std::make_shared<FakeElement>();
        focus->element->attributes["AXRole"] = role;
        focus->element->attributes["AXValue"] = value;
    }
    /// The user's clipboard: an image with a data type and a text type.
    std::shared_ptr<FakeItem> userClipboard() {
        auto item = std::make_shared<FakeItem>();
        item->order << "image/png"
                    << "text/plain"
                    << "application/x-unreadable";
        item->datas["image/png"] = QByteArray("\x89PNG", 4);
        item->strings["text/plain"] = "caption";
        clipboard->live = {item};
        clipboard->count = 10;
        return item;
    }

    std::shared_ptr<FakeTrust> trust;
    std::shared_ptr<FakeFocus> focus;
    std::shared_ptr<FakeClipboard> clipboard;
    std::shared_ptr<FakeKeys> keys;
    std::unique_ptr<InputEngine> engine;
    QStringList pasted;
};

TEST_F(InputEngineTest, BaselineComesOnlyFromTrustedTextLikeElements) {
    EXPECT_EQ(engine->captureBaselineForLiveDictation(), std::nullopt); // nothing focused
    focusOn("AXTextArea", QStringLiteral("draft"));
    EXPECT_EQ(engine->captureBaselineForLiveDictation(), QStringLiteral("draft"));
    focusOn("AXComboBox", QVariant(42));
    EXPECT_EQ(engine->captureBaselineForLiveDictation(), QString()); // not a string: empty
    focusOn("AXButton", QStringLiteral("OK"));
    EXPECT_EQ(engine->captureBaselineForLiveDictation(), std::nullopt);
    focusOn("axtextfield", QStringLiteral("x")); // roles compare case-sensitively
    EXPECT_EQ(engine->captureBaselineForLiveDictation(), std::nullopt);
    focusOn("AXTextField", QStringLiteral("x"));
    focus->element->failingReads << "AXValue";
    EXPECT_EQ(engine->captureBaselineForLiveDictation(), std::nullopt);
    trust->trusted = false;
    focusOn("AXTextField", QStringLiteral("x"));
    EXPECT_EQ(engine->captureBaselineForLiveDictation(), std::nullopt);
}

TEST_F(InputEngineTest, CommitTrimsPastesAndRestoresTheClipboardDeeply) {
    auto original = userClipboard();
    engine->commitFinalNow(std::nullopt, QStringLiteral("  hello world\n"));
    EXPECT_EQ(pasted, QStringList{QStringLiteral("hello world")});
    EXPECT_EQ(keys->posted, (std::vector<KeyEvent>{{9, true, 0x100000}, {9, false, 0x100000}}));
    // The user's item changes behind our back: the snapshot is a copy, not a reference.
    original->datas["image/png"] = "changed";
    clock_.advance(seconds(0.59));
    EXPECT_EQ(clipboard->text(), QStringLiteral("hello world"));
    clock_.advance(seconds(0.01));
    ASSERT_EQ(clipboard->live.size(), 1u);
    const auto& restored = *clipboard->live.front();
    EXPECT_EQ(restored.order, (QStringList{"image/png", "text/plain"})); // unreadable type dropped
    EXPECT_EQ(restored.datas.at("image/png"), QByteArray("\x89PNG", 4));
    EXPECT_EQ(restored.strings.at("text/plain"), QStringLiteral("caption"));
}

TEST_F(InputEngineTest, BlankTextsAndMissingTrust) {
    userClipboard();
    EXPECT_NO_THROW(engine->commitFinalNow(std::nullopt, QStringLiteral(" \n ")));
    EXPECT_NO_THROW(engine->insert(QString()));
    EXPECT_TRUE(keys->posted.empty());
    EXPECT_EQ(clipboard->count, 10);
    trust->trusted = false;
    EXPECT_THROW(engine->commitFinalNow(std::nullopt, QStringLiteral(" \n ")), InputError);
    try {
        engine->insert(QStringLiteral("x"));
        FAIL();
    } catch (const InputError& e) {
        EXPECT_EQ(e, InputError::accessibilityNotTrusted());
        EXPECT_EQ(e.errorDescription(), L("input.error.ax"));
    }
    EXPECT_EQ(clipboard->count, 10); // untouched
}

TEST_F(InputEngineTest, WithoutAPasteKeyTheWordsAreLeftOnTheFallbackClipboard) {
    // A Wayland desktop whose clipboard path works but whose paste path does not.
    auto fallback = std::make_shared<FakeClipboard>();
    trust->trusted = false;
    engine = std::make_unique<InputEngine>(InputPlatform{trust, focus, nullptr, keys, nullptr, fallback});
    try {
        engine->insert(QStringLiteral("dictated words"));
        FAIL();
    } catch (const InputError& e) {
        EXPECT_EQ(e, InputError::leftOnClipboard());
        EXPECT_EQ(e.errorDescription(), L("input.error.on_clipboard"));
    }
    EXPECT_TRUE(keys->posted.empty()); // no paste is reported as done
    clock_.advance(seconds(5));
    EXPECT_EQ(fallback->text(), QStringLiteral("dictated words")); // never "restored" away
    EXPECT_FALSE(engine->clipboardRestorePending());

    // A fallback that refuses the write: the plain error, the words go to the session's keeper.
    fallback->throwOnWrite = true;
    try {
        engine->insert(QStringLiteral("more"));
        FAIL();
    } catch (const InputError& e) {
        EXPECT_EQ(e, InputError::accessibilityNotTrusted());
    }
}

TEST_F(InputEngineTest, UserCopyWithinTheDelayIsKept) {
    userClipboard();
    engine->insert(QStringLiteral("dictated"));
    clock_.advance(seconds(0.3));
    clipboard->userCopies(QStringLiteral("mine"));
    clock_.advance(seconds(1));
    EXPECT_EQ(clipboard->text(), QStringLiteral("mine"));
    EXPECT_EQ(clipboard->restores, 0);
}

TEST_F(InputEngineTest, TwoPastesWithinTheDelayBringBackTheUsersClipboardNotTheFirstText) {
    userClipboard();
    engine->insert(QStringLiteral("first"));
    clock_.advance(seconds(0.2));
    engine->insert(QStringLiteral("second"));
    EXPECT_TRUE(engine->clipboardRestorePending());
    clock_.advance(seconds(0.59));
    EXPECT_EQ(clipboard->text(), QStringLiteral("second")); // the delay counts from the last paste
    clock_.advance(seconds(0.01));
    EXPECT_EQ(pasted, (QStringList{"first", "second"}));
    EXPECT_EQ(clipboard->text(), QStringLiteral("caption"));
    EXPECT_EQ(clipboard->live.front()->datas.at("image/png"), QByteArray("\x89PNG", 4));
    EXPECT_EQ(clipboard->restores, 1);
    EXPECT_FALSE(engine->clipboardRestorePending());

    // A copy of the user's own between two pastes is what comes back.
    engine->insert(QStringLiteral("third"));
    clock_.advance(seconds(0.1));
    clipboard->userCopies(QStringLiteral("mine"));
    clock_.advance(seconds(0.1));
    engine->insert(QStringLiteral("fourth"));
    clock_.advance(seconds(1));
    EXPECT_EQ(pasted.last(), QStringLiteral("fourth"));
    EXPECT_EQ(clipboard->text(), QStringLiteral("mine"));
}

TEST_F(InputEngineTest, ABusyTargetReadsTheDictationAndTheRestoreWaitsForItsRead) {
    userClipboard();
    clipboard->tellsFetches = true;
    engine->insert(QStringLiteral("dictated"));
    clock_.advance(seconds(0.65)); // the target is busy and reads late
    EXPECT_EQ(clipboard->fetch(), QStringLiteral("dictated"));
    clock_.advance(seconds(0.59)); // then the usual rest
    EXPECT_EQ(clipboard->text(), QStringLiteral("dictated"));
    clock_.advance(seconds(0.01));
    EXPECT_EQ(clipboard->text(), QStringLiteral("caption"));

    // A target that never reads: restored after the limit all the same.
    engine->insert(QStringLiteral("unread"));
    clock_.advance(ClipboardPasteInjector::kFetchWaitLimit - seconds(0.01));
    EXPECT_EQ(clipboard->text(), QStringLiteral("unread"));
    clock_.advance(seconds(0.01));
    EXPECT_EQ(clipboard->text(), QStringLiteral("caption"));
    EXPECT_EQ(clipboard->restores, 2);

    // The user's copy after the read is kept, as ever.
    engine->insert(QStringLiteral("again"));
    clipboard->fetch();
    clipboard->userCopies(QStringLiteral("mine"));
    clock_.advance(seconds(5));
    EXPECT_EQ(clipboard->text(), QStringLiteral("mine"));
    EXPECT_EQ(clipboard->restores, 2);
}

TEST_F(InputEngineTest, AClipboardThatCannotBeReadIsNeverRestoredToNothing) {
    userClipboard();
    clipboard->failRead = true; // its owner does not answer
    engine->insert(QStringLiteral("dictated"));
    EXPECT_EQ(pasted, QStringList{QStringLiteral("dictated")}); // the words still arrive
    clock_.advance(seconds(5));
    EXPECT_EQ(clipboard->text(), QStringLiteral("dictated"));
    EXPECT_EQ(clipboard->restores, 0);
    EXPECT_FALSE(engine->clipboardRestorePending());

    // A write that fails leaves it alone too, rather than clearing it again.
    userClipboard();
    clipboard->failClear = true;
    EXPECT_THROW(engine->insert(QStringLiteral("x")), InputError);
    EXPECT_EQ(clipboard->text(), QStringLiteral("caption"));
    EXPECT_EQ(clipboard->restores, 0);
}

TEST_F(InputEngineTest, APasteKeyThatReadsThePrimarySelectionWritesAndRestoresItToo) {
    auto primary = std::make_shared<FakeClipboard>();
    primary->userCopies(QStringLiteral("selected words"));
    engine = std::make_unique<InputEngine>(InputPlatform{trust, focus, clipboard, keys, primary});
    QStringList pastedPrimary;
    keys->onPost = [&](const KeyEvent& e) {
        if (e.keyDown) {
            pasted << clipboard->text();
            pastedPrimary << primary->text();
        }
    };
    userClipboard();

    // A window whose key reads the clipboard: the selection is left alone.
    const qint64 primaryCount = primary->count;
    engine->insert(QStringLiteral("gui"));
    clock_.advance(seconds(1));
    EXPECT_EQ(primary->count, primaryCount);

    keys->readsPrimary = true;
    engine->insert(QStringLiteral("terminal"));
    EXPECT_EQ(pasted.last(), QStringLiteral("terminal"));
    EXPECT_EQ(pastedPrimary.last(), QStringLiteral("terminal"));
    clock_.advance(seconds(0.6));
    EXPECT_EQ(clipboard->text(), QStringLiteral("caption"));
    EXPECT_EQ(primary->text(), QStringLiteral("selected words"));

    // Each is restored only if unchanged: a new selection made meanwhile stays.
    engine->insert(QStringLiteral("again"));
    primary->userCopies(QStringLiteral("new selection"));
    clock_.advance(seconds(0.6));
    EXPECT_EQ(primary->text(), QStringLiteral("new selection"));
    EXPECT_EQ(clipboard->text(), QStringLiteral("caption"));
}

TEST_F(InputEngineTest, EmptyClipboardStaysEmptyAfterTheRestore) {
    engine->insert(QStringLiteral("text"));
    clock_.advance(seconds(0.6));
    EXPECT_TRUE(clipboard->live.empty());
}

TEST_F(InputEngineTest, FailuresWriteTheSnapshotBackOrKeepTheRestore) {
    userClipboard();
    clipboard->failWrite = true;
    EXPECT_THROW(engine->insert(QStringLiteral("x")), InputError);
    EXPECT_EQ(clipboard->text(), QStringLiteral("caption")); // written back at once
    EXPECT_TRUE(keys->posted.empty());

    clipboard->failWrite = false;
    keys->eventsOk = false;
    try {
        engine->insert(QStringLiteral("y"));
        FAIL();
    } catch (const InputError& e) {
        EXPECT_EQ(e, InputError::injectionFailed());
    }
    EXPECT_EQ(clipboard->text(), QStringLiteral("y")); // stays until the scheduled restore
    clock_.advance(seconds(0.6));
    EXPECT_EQ(clipboard->text(), QStringLiteral("caption"));
}

TEST_F(InputEngineTest, AFailingOrThrowingClipboardGetsTheUserContentsBackAtOnce) {
    for (const int mode : {0, 1, 2}) {
        SCOPED_TRACE(mode);
        userClipboard();
        clipboard->failClear = mode == 0;
        clipboard->throwOnWrite = mode == 1;
        clipboard->throwOnClear = mode == 2;
        const int restores = clipboard->restores;
        EXPECT_THROW(engine->insert(QStringLiteral("x")), InputError);
        EXPECT_EQ(clipboard->restores, restores + 1);
        ASSERT_EQ(clipboard->live.size(), 1u);
        EXPECT_EQ(clipboard->live[0]->datas["image/png"], QByteArray("\x89PNG", 4));
        EXPECT_EQ(clipboard->text(), QStringLiteral("caption"));
        EXPECT_TRUE(keys->posted.empty());
        clipboard->failClear = clipboard->throwOnWrite = clipboard->throwOnClear = false;
    }
}

TEST_F(InputEngineTest, NoEventSourceLeavesTheTextUntilTheRestore) {
    userClipboard();
    keys->sourceOk = false;
    EXPECT_THROW(engine->insert(QStringLiteral("y")), InputError);
    EXPECT_TRUE(keys->posted.empty());
    EXPECT_EQ(clipboard->text(), QStringLiteral("y"));
    clock_.advance(seconds(0.6));
    EXPECT_EQ(clipboard->text(), QStringLiteral("caption"));
}

TEST_F(InputEngineTest, AccessibilityWriteReplacesTheSelectionOrAppends) {
    AccessibleTextInjector ax(focus);
    EXPECT_FALSE(ax.inject("x"));
    focusOn("AXTextField", QStringLiteral("abc"));
    focus->element->writable << "AXSelectedText";
    EXPECT_TRUE(ax.inject("x"));
    EXPECT_EQ(focus->element->attributes["AXSelectedText"], QVariant(QStringLiteral("x")));
    focus->element->writable = QStringList{"AXValue"};
    EXPECT_TRUE(ax.inject("d"));
    EXPECT_EQ(focus->element->attributes["AXValue"], QVariant(QStringLiteral("abcd")));
}

} // namespace
} // namespace quillory::testing
