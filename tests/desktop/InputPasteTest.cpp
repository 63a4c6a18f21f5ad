// Text insertion on a real X server: the paste lands in another application's line edit, the
// clipboard comes back, terminals get Ctrl+Shift+V, held modifiers do not get in the way, and the
// focused field is found over the accessibility bus (never a password field's value).
#include "InputTargetClient.h"
#include "InputTestKeys.h"

#include "Input/InputEngine.h"
#include "Input/TextInjector.h"
#include "Input/atspi/AtspiFocus.h"
#include "Input/x11/LinuxInputPlatform.h"
#include "Input/x11/TerminalClasses.h"
#include "Input/x11/XTestKeyPoster.h"
#include "Runtime/DefaultsStore.h"

#include <QClipboard>
#include <QElapsedTimer>
#include <QGuiApplication>
#include <QMap>
#include <QMimeData>
#include <QProcess>
#include <QRegularExpression>
#include <QScopeGuard>
#include <QTest>

#include <gtest/gtest.h>

#include <csignal>
#include <sys/types.h>


using namespace quillory;
using namespace quillory::input;
using namespace std::chrono_literals;
using quillory::test::monotonicNs;
using quillory::test::TargetWindow;

namespace {

class DesktopInput : public ::testing::Test {
protected:
    void SetUp() override {
        desktop_ = createLinuxInputPlatform();
        ASSERT_TRUE(desktop_.unavailableReason.isEmpty()) << desktop_.unavailableReason.toStdString();
        engine_ = std::make_unique<InputEngine>(desktop_.platform);
        DefaultsStore::standard().remove(TerminalClasses::storeKey);
    }
    void TearDown() override { DefaultsStore::standard().remove(TerminalClasses::storeKey); }

    const XTestKeyPoster& keys() const { return dynamic_cast<const XTestKeyPoster&>(*desktop_.platform.keys); }

    LinuxInputPlatform desktop_;
    std::unique_ptr<InputEngine> engine_;
};

} // namespace

TEST_F(DesktopInput, PasteLandsAndThePreviousClipboardComesBackWithAllItsFormats) {
    EXPECT_TRUE(desktop_.platform.trust->isTrusted()); // Xvfb runs with XTEST

    TargetWindow target;
    ASSERT_TRUE(target.ready());
    ASSERT_TRUE(target.request("copy-multi", "copied"));

    const QString text = QStringLiteral("貼り付け test «ü»");
    const qint64 pastedAt = monotonicNs();
    engine_->insert(text);
    ASSERT_TRUE(target.waitForText(text)) << target.transcript();
    EXPECT_EQ(target.keyLines(), QList<QByteArray>{"ctrl V"}) << "exactly Ctrl+V, nothing else";

    // During the restore delay the clipboard holds the pasted text, served by us.
    QMap<QString, QByteArray> during = target.clipboard();
    if (monotonicNs() - pastedAt < 500'000'000) {
        EXPECT_EQ(during.value("text/plain"), text.toUtf8());
        EXPECT_FALSE(during.contains("text/html"));
    }

    // Then the user's clipboard comes back: every format, byte for byte, no protocol targets.
    QMap<QString, QByteArray> after;
    ASSERT_TRUE(QTest::qWaitFor(
        [&] {
            after = target.clipboard();
            // (The other client may answer once from the formats it cached for the previous
            // owner; it reads again when it has seen the owner change.)
            return after.value("text/plain") == "before" && after.value("text/html") == "<b>before</b>" &&
                   after.value("application/x-quillory-test") == QByteArray("\x00\x01\xfe\xff", 4);
        },
        3000));
    EXPECT_GE(monotonicNs() - pastedAt, 600'000'000);
    // What we serve is data only: the selection protocol's own targets are Qt's to answer.
    const QStringList served = QGuiApplication::clipboard()->mimeData()->formats();
    EXPECT_EQ(served, (QStringList{"text/plain", "text/html", "application/x-quillory-test"}));
    // We own the restored copy: it outlives the application it came from.
    EXPECT_TRUE(QGuiApplication::clipboard()->ownsClipboard());
}

TEST_F(DesktopInput, ACopyMadeDuringTheRestoreDelayIsKeptAndAnEmptyClipboardStaysEmpty) {
    TargetWindow target;
    ASSERT_TRUE(target.ready());
    ASSERT_TRUE(target.request("copy-multi", "copied"));

    const qint64 countBefore = desktop_.platform.clipboard->changeCount();
    engine_->insert(QStringLiteral("first"));
    ASSERT_TRUE(target.waitForText("first"));
    ASSERT_TRUE(target.request("copy", "copied", QStringLiteral("the user's copy")));
    // Another application's copy is a change we observe.
    ASSERT_TRUE(QTest::qWaitFor([&] { return desktop_.platform.clipboard->changeCount() > countBefore + 2; }, 2000));
    QTest::qWait(900); // past the restore
    QMap<QString, QByteArray> kept = target.clipboard();
    EXPECT_EQ(kept.value("text/plain"), "the user's copy");
    EXPECT_FALSE(kept.contains("text/html"));

    // Nothing on the clipboard before the paste: nothing after it.
    QGuiApplication::clipboard()->clear();
    ASSERT_TRUE(target.request("set", "set", QString()));
    engine_->insert(QStringLiteral("second"));
    ASSERT_TRUE(target.waitForText("second"));
    ASSERT_TRUE(QTest::qWaitFor([&] { return target.clipboard().isEmpty(); }, 3000));
}

TEST_F(DesktopInput, TheEditableTerminalListChoosesThePasteKey) {
    // Not on the list: Ctrl+V.
    {
        TargetWindow mine({"-name", "my-term"});
        ASSERT_TRUE(mine.ready());
        engine_->insert(QStringLiteral("plain"));
        ASSERT_TRUE(mine.waitForText("plain"));
        EXPECT_EQ(mine.keyLines(), QList<QByteArray>{"ctrl V"});
    }
    ASSERT_TRUE(QTest::qWaitFor([&] { return !engine_->clipboardRestorePending(); }, 5000));
    // The user's own list: a plain name takes Ctrl+Shift+V, a suffix chooses Shift+Insert.
    DefaultsStore::standard().setString(TerminalClasses::storeKey, QStringLiteral("my-term, other=shift+insert"));
    {
        TargetWindow mine({"-name", "my-term"});
        ASSERT_TRUE(mine.ready());
        engine_->insert(QStringLiteral("ls"));
        ASSERT_TRUE(mine.waitForLine([](const QByteArray& l) { return l.startsWith("key "); }));
        EXPECT_EQ(mine.keyLines(), QList<QByteArray>{"ctrl+shift V"});
        EXPECT_EQ(keys().lastPress().key, PasteKey::ctrlShiftV);
    }
    ASSERT_TRUE(QTest::qWaitFor([&] { return !engine_->clipboardRestorePending(); }, 5000));
    {
        TargetWindow other({"-name", "other"});
        ASSERT_TRUE(other.ready());
        engine_->insert(QStringLiteral("from the selection"));
        ASSERT_TRUE(other.waitForText("from the selection")); // a line edit pastes on Shift+Insert too
        EXPECT_EQ(keys().lastPress().key, PasteKey::shiftInsert);
        EXPECT_TRUE(other.keyLines().isEmpty());
    }
    ASSERT_TRUE(QTest::qWaitFor([&] { return !engine_->clipboardRestorePending(); }, 5000));
}

TEST_F(DesktopInput, ATargetBusyPastTheRestoreDelayStillPastesTheDictation) {
    TargetWindow owner;
    ASSERT_TRUE(owner.ready());
    ASSERT_TRUE(owner.request("copy", "copied", QStringLiteral("the user's copy")));
    TargetWindow busy;
    ASSERT_TRUE(busy.ready());

    ::kill(pid_t(busy.pid()), SIGSTOP); // busy: it reads its keys only later
    const auto resume = qScopeGuard([&] { ::kill(pid_t(busy.pid()), SIGCONT); });
    engine_->insert(QStringLiteral("dictated"));
    QTest::qWait(1000); // well past the 0.6 s rest (and short of the 3 s limit)
    EXPECT_TRUE(engine_->clipboardRestorePending()) << "restored before the target read the text";
    ::kill(pid_t(busy.pid()), SIGCONT);
    ASSERT_TRUE(busy.waitForText(QStringLiteral("dictated"))) << busy.transcript();
    // Read: the user's copy comes back after the rest.
    ASSERT_TRUE(QTest::qWaitFor([&] { return busy.clipboard().value("text/plain") == "the user's copy"; }, 5000));
}

TEST_F(DesktopInput, AClipboardOwnerThatDoesNotAnswerCostsAtMostASecondAndIsNotEmptied) {
    TargetWindow owner;
    ASSERT_TRUE(owner.ready());
    ASSERT_TRUE(owner.request("copy", "copied", QStringLiteral("the user's copy")));
    TargetWindow target;
    ASSERT_TRUE(target.ready());

    ::kill(pid_t(owner.pid()), SIGSTOP);
    const auto resume = qScopeGuard([&] { ::kill(pid_t(owner.pid()), SIGCONT); });
    const qint64 startedAt = monotonicNs();
    engine_->insert(QStringLiteral("dictated"));
    const qint64 took = monotonicNs() - startedAt;
    EXPECT_LT(took, 2'500'000'000) << "the clipboard read blocked for " << took / 1000000 << " ms";
    ASSERT_TRUE(target.waitForText(QStringLiteral("dictated")));

    // Its contents could not be read: the clipboard keeps the dictation rather than going empty.
    ASSERT_TRUE(QTest::qWaitFor([&] { return !engine_->clipboardRestorePending(); }, 5000));
    QTest::qWait(700);
    EXPECT_EQ(target.clipboard().value("text/plain"), "dictated");
}

TEST_F(DesktopInput, HeldAltOrSuperDoesNotBlockThePasteAndNoKeyIsLeftDown) {
    TargetWindow target;
    ASSERT_TRUE(target.ready());
    for (const char* held : {"Alt_L", "Super_L"}) {
        SCOPED_TRACE(held);
        ASSERT_TRUE(target.request("set", "set", QString()));
        test::fakeKey(held, true);
        ASSERT_TRUE(test::isKeyDown(held));

        const QString text = QStringLiteral("with %1").arg(QLatin1String(held));
        engine_->insert(text);
        ASSERT_TRUE(target.waitForText(text)) << "the held modifier turned Ctrl+V into another shortcut";
        EXPECT_EQ(keys().lastPress().releasedModifiers, std::vector<int>{test::keycodeOf(held)})
            << "only the held key is released";
        for (const char* key : {held, "Control_L", "Shift_L", "v"}) {
            EXPECT_FALSE(test::isKeyDown(key)) << key << " left down";
        }
        test::fakeKey(held, false); // the user lets go: harmless for a key already up
        QTest::qWait(700);
    }
    // With nothing held, nothing is released.
    ASSERT_TRUE(target.request("set", "set", QString()));
    engine_->insert(QStringLiteral("free"));
    ASSERT_TRUE(target.waitForText("free"));
    EXPECT_TRUE(keys().lastPress().releasedModifiers.empty());
    QTest::qWait(700);
}

TEST_F(DesktopInput, TheFocusedLineEditIsFoundAndAPasswordFieldIsNeverRead) {
    // A loaded machine may take seconds to start the windows, connect to the accessibility bus
    // and deliver the focus events; each read gives up within its bound, so poll generously.
    constexpr int kFocusWaitMs = 60000;
    auto focus = desktop_.platform.focus;
    AccessibleTextInjector reader(focus);
    {
        TargetWindow target;
        ASSERT_TRUE(target.ready());
        ASSERT_TRUE(target.request("set", "set", QStringLiteral("already here")));
        std::shared_ptr<AccessibleElement> element;
        ASSERT_TRUE(QTest::qWaitFor(
            [&] {
                element = focus->focusedElement();
                return element && element->attribute("AXValue") == QVariant(QStringLiteral("already here"));
            },
            kFocusWaitMs));
        EXPECT_EQ(element->attribute("AXRole")->toString(), QStringLiteral("AXTextField"));
        // (Each read is bounded: on a busy machine one may give nothing; a later one answers.)
        EXPECT_TRUE(QTest::qWaitFor(
            [&] { return reader.readFocusedTextValueIfAvailable() == QStringLiteral("already here"); }, kFocusWaitMs));
        EXPECT_TRUE(QTest::qWaitFor(
            [&] { return engine_->captureBaselineForLiveDictation() == QStringLiteral("already here"); }, kFocusWaitMs));
    }
    {
        TargetWindow secret({"--password"});
        ASSERT_TRUE(secret.ready());
        ASSERT_TRUE(secret.request("set", "set", QStringLiteral("hunter2")));
        std::shared_ptr<AccessibleElement> element;
        QElapsedTimer sinceNudge;
        sinceNudge.start();
        ASSERT_TRUE(QTest::qWaitFor(
            [&] {
                // This window gains focus after we started listening: its focus event names it
                // (once our loop has received it; until then the search finds it). A new window
                // may take focus before its toolkit has learnt that anyone listens, and then
                // sends no event: moving the focus within it sends a fresh one.
                if (sinceNudge.elapsed() > 3000) {
                    secret.send("refocus");
                    sinceNudge.restart();
                }
                element = focus->focusedElement();
                return element && element->attribute("AXRole") == QVariant(QStringLiteral("AXSecureTextField")) &&
                       std::dynamic_pointer_cast<AtspiFocusedElementProvider>(focus)->answeredFromEvents();
            },
            kFocusWaitMs));
        EXPECT_EQ(element->attribute("AXValue"), std::nullopt);
        EXPECT_EQ(element->attribute("AXSelectedText"), std::nullopt);
        EXPECT_FALSE(element->setAttribute("AXValue", QStringLiteral("x")));
        EXPECT_EQ(reader.readFocusedTextValueIfAvailable(), std::nullopt);
        EXPECT_EQ(engine_->captureBaselineForLiveDictation(), std::nullopt);
    }
}

TEST_F(DesktopInput, PasteCommandInsertsWaitsForTheRestoreAndHandsTheClipboardToAManager) {
    TargetWindow target;
    ASSERT_TRUE(target.ready());
    ASSERT_TRUE(target.request("copy-multi", "copied"));

    QProcess cli;
    cli.start(QStringLiteral(QUILLORY_EXECUTABLE), {"paste", "コマンドから"});
    const qint64 startedAt = monotonicNs();
    ASSERT_TRUE(cli.waitForFinished(10000));
    EXPECT_EQ(cli.exitCode(), 0) << cli.readAllStandardError().toStdString();
    EXPECT_GE(monotonicNs() - startedAt, 600'000'000) << "it stays until the restore is done";
    EXPECT_TRUE(cli.readAllStandardOutput().contains("Inserted 6 characters with Ctrl+V"));
    // This desktop runs no clipboard manager: a background process keeps the clipboard.
    const QString err = QString::fromUtf8(cli.readAllStandardError());
    static const QRegularExpression keeperLine(QStringLiteral("No clipboard manager runs: process (\\d+) keeps"));
    const QRegularExpressionMatch keeper = keeperLine.match(err);
    ASSERT_TRUE(keeper.hasMatch()) << err.toStdString();
    const QString keeperProc = QStringLiteral("/proc/%1").arg(keeper.captured(1));
    ASSERT_TRUE(target.waitForText(QStringLiteral("コマンドから")));
    QMap<QString, QByteArray> kept;
    ASSERT_TRUE(QTest::qWaitFor(
        [&] {
            kept = target.clipboard();
            return kept.value("text/plain") == "before";
        },
        5000))
        << "kept: " << QStringList(kept.keys()).join(',').toStdString() << " "
        << kept.value("text/plain").toStdString() << "; the command said: " << err.toStdString();
    EXPECT_EQ(kept.value("text/html"), "<b>before</b>");
    EXPECT_EQ(kept.value("application/x-quillory-test"), QByteArray("\x00\x01\xfe\xff", 4));
    // Until someone else copies: then it goes.
    const auto keeperGone = [&] {
        QFile stat(keeperProc + QStringLiteral("/stat"));
        return !stat.open(QIODevice::ReadOnly) || stat.readAll().contains(") Z ");
    };
    EXPECT_FALSE(keeperGone());
    // A user copies with a key press or a click, so the copy's time stamp is newer than the
    // keeper's; a copy made on a command from stdin carries the target's last event time, which
    // the server may take as older and ignore. A key press gives the target a fresh time.
    for (int attempt = 0; attempt < 5 && !keeperGone(); ++attempt) {
        test::fakeKey("Shift_L", true);
        test::fakeKey("Shift_L", false);
        ASSERT_TRUE(target.request("copy", "copied", QStringLiteral("newer")));
        QTest::qWaitFor(keeperGone, 3000);
    }
    EXPECT_TRUE(keeperGone());

    // With a clipboard manager, the command hands the restored clipboard over as it exits.
    QProcess manager;
    manager.setProcessChannelMode(QProcess::ForwardedErrorChannel);
    manager.start(QStringLiteral(QUILLORY_CLIPBOARD_MANAGER_STUB));
    ASSERT_TRUE(manager.waitForReadyRead(5000));
    ASSERT_EQ(manager.readLine().trimmed(), "ready");
    ASSERT_TRUE(target.request("copy", "copied", QStringLiteral("keep me")));
    cli.start(QStringLiteral(QUILLORY_EXECUTABLE), {"paste", "again"});
    ASSERT_TRUE(cli.waitForFinished(10000));
    EXPECT_EQ(cli.exitCode(), 0);
    const QByteArray cliErr = cli.readAllStandardError();
    EXPECT_FALSE(cliErr.contains("No clipboard manager"));
    // A single paste command never leaves a background process behind when a manager runs.
    ASSERT_TRUE(manager.canReadLine() || manager.waitForReadyRead(3000))
        << cli.readAllStandardOutput().toStdString() << cliErr.toStdString();
    EXPECT_EQ(manager.readLine().trimmed(), "saved " + QByteArray("keep me").toBase64());
    ASSERT_TRUE(QTest::qWaitFor([&] { return target.clipboard().value("text/plain") == "keep me"; }, 3000));
    manager.closeWriteChannel();
    if (!manager.waitForFinished(3000)) {
        manager.kill();
        manager.waitForFinished(1000);
    }
}
