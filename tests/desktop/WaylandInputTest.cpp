// The wlroots-protocol input backends on a real compositor: headless sway from
// scripts/wayland-session.sh, with a seat keyboard plugged in. The clipboard over wlr-data-control
// against wl-clipboard's wl-copy and wl-paste, and `quillory paste` into native Wayland windows
// (GTK 3 and GTK 4 entries, a Qt line edit, xfce4-terminal), with the user's clipboard put back.
#include "Strings/StringTables.h"
#include "Input/InputEngine.h"
#include "Input/wayland/DataControlClipboard.h"
#include "Input/wayland/VirtualKeyboardPoster.h"
#include "Input/wayland/WaylandConnection.h"
#include "Input/wayland/WaylandInputPlatform.h"

#include "WaylandTestSupport.h"

#include <QCoreApplication>
#include <QScopeGuard>
#include <QElapsedTimer>
#include <QFile>
#include <QProcess>
#include <QTemporaryDir>
#include <QThread>

#include <gmock/gmock.h>

#include <csignal>
#include <cstdio>
#include <functional>

using namespace quillory;
using namespace quillory::input;
using ::testing::Contains;

namespace {

// Generous for a loaded 2-core machine; every wait polls its condition.
constexpr int kWaitMs = 30000;

bool waitFor(const std::function<bool()>& done, int timeoutMs = kWaitMs) {
    return quillory::test::pollUntil(done, timeoutMs);
}

using quillory::test::runServing;
using quillory::test::wlCopy;
using quillory::test::wlPaste;
using quillory::test::wlPasteTypes;

QByteArray dataOf(const ClipboardItemSource& item, const QString& type) {
    return item.data(type).value_or(QByteArray("<absent>"));
}

class WaylandClipboard : public ::testing::Test {
protected:
    void SetUp() override {
        QString why;
        connection_ = WaylandConnection::open(&why);
        ASSERT_TRUE(connection_) << why.toStdString();
        ASSERT_TRUE(connection_->dataControl()) << "sway advertises wlr-data-control";
        clipboard_ = std::make_unique<DataControlClipboard>(connection_);
        ASSERT_TRUE(clipboard_->isUsable());
    }

    std::shared_ptr<WaylandConnection> connection_;
    std::unique_ptr<DataControlClipboard> clipboard_;
};

TEST_F(WaylandClipboard, ReadsAnotherClientsContentsInEveryFormatAndCountsTheChange) {
    const qint64 before = clipboard_->changeCount();
    const QByteArray text = QStringLiteral("ユーザーがコピーした文章").toUtf8();
    ASSERT_TRUE(wlCopy(text));
    ASSERT_TRUE(waitFor([&] { return clipboard_->changeCount() > before; })) << "another client's copy is a change";
    EXPECT_FALSE(clipboard_->ownsSelection());

    const auto items = clipboard_->items();
    ASSERT_TRUE(items);
    ASSERT_EQ(items->size(), 1u);
    const auto& item = *items->front();
    // wl-copy offers its text under the Wayland and the X11 names: each is data of its own.
    EXPECT_THAT(item.types(), Contains(QStringLiteral("text/plain;charset=utf-8")));
    EXPECT_THAT(item.types(), Contains(QStringLiteral("UTF8_STRING")));
    EXPECT_GE(item.types().size(), 2);
    for (const QString& type : item.types()) {
        EXPECT_EQ(dataOf(item, type), text) << type.toStdString();
    }
}

TEST_F(WaylandClipboard, WritesEveryFormatOnceAndReportsTheFirstReadByAnotherClient) {
    const QByteArray binary("\x00\x01\xfe\xff", 4);
    ClipboardItem item;
    item.entries = {{QStringLiteral("text/plain;charset=utf-8"), QStringLiteral("書いた文章")},
                    {QStringLiteral("text/html"), QByteArray("<b>書いた</b>")},
                    {QStringLiteral("application/x-quillory-test"), binary}};
    const qint64 before = clipboard_->changeCount();
    ASSERT_TRUE(clipboard_->writeItems({item}));
    EXPECT_EQ(clipboard_->changeCount(), before + 1) << "a write counts exactly once";
    EXPECT_TRUE(clipboard_->ownsSelection());

    int fetched = 0;
    clipboard_->whenFetched([&] { ++fetched; });
    const auto html = wlPaste(QStringLiteral("text/html"));
    ASSERT_TRUE(html);
    EXPECT_EQ(*html, QByteArray("<b>書いた</b>"));
    ASSERT_TRUE(waitFor([&] { return fetched > 0; })) << "the read is reported";
    EXPECT_EQ(wlPaste(QStringLiteral("application/x-quillory-test")), std::optional<QByteArray>(binary));
    EXPECT_EQ(wlPaste(QStringLiteral("text/plain;charset=utf-8")),
              std::optional<QByteArray>(QStringLiteral("書いた文章").toUtf8()));
    QCoreApplication::processEvents();
    EXPECT_EQ(fetched, 1) << "reported once per write";
    EXPECT_EQ(clipboard_->changeCount(), before + 1) << "reads change nothing";

    // Our own contents come back without asking anyone.
    const auto items = clipboard_->items();
    ASSERT_TRUE(items);
    ASSERT_EQ(items->size(), 1u);
    EXPECT_EQ(dataOf(*items->front(), QStringLiteral("application/x-quillory-test")), binary);

    // Another client's copy takes it over: one more change, and we no longer serve.
    ASSERT_TRUE(wlCopy("other"));
    ASSERT_TRUE(waitFor([&] { return !clipboard_->ownsSelection(); }));
    EXPECT_GT(clipboard_->changeCount(), before + 1);
}

TEST_F(WaylandClipboard, SetStringServesPlainTextUnderEveryTextName) {
    ASSERT_TRUE(clipboard_->setString(QStringLiteral("日本語"), Clipboard::stringType));
    const QStringList types = wlPasteTypes();
    for (const char* type : {"text/plain;charset=utf-8", "text/plain", "UTF8_STRING"}) {
        EXPECT_THAT(types, Contains(QString::fromLatin1(type)));
        EXPECT_EQ(wlPaste(QString::fromLatin1(type)), std::optional<QByteArray>(QStringLiteral("日本語").toUtf8()))
            << type;
    }
    const qint64 count = clipboard_->clearContents();
    EXPECT_GT(count, 0);
    const auto items = clipboard_->items();
    ASSERT_TRUE(items);
    EXPECT_TRUE(items->empty());
}

TEST_F(WaylandClipboard, AnOwnerThatNeverAnswersFailsTheReadWithinItsLimit) {
    QProcess owner;
    owner.start(QStringLiteral("wl-copy"), {QStringLiteral("--foreground"), QStringLiteral("凍った")});
    ASSERT_TRUE(owner.waitForStarted(kWaitMs));
    ASSERT_TRUE(waitFor([&] {
        const auto items = clipboard_->items();
        return items && !items->empty();
    }));
    ::kill(pid_t(owner.processId()), SIGSTOP);
    QElapsedTimer timer;
    timer.start();
    const auto items = clipboard_->items();
    const qint64 elapsed = timer.elapsed();
    ::kill(pid_t(owner.processId()), SIGCONT);
    owner.kill();
    owner.waitForFinished(5000);
    EXPECT_FALSE(items) << "a frozen owner is a failed read, not empty contents";
    EXPECT_LT(elapsed, 3 * DataControlClipboard::kReadLimit.count()) << "bounded by the read limit";
}

TEST_F(WaylandClipboard, ThePrimarySelectionIsWrittenApartFromTheClipboard) {
    DataControlClipboard primary(connection_, DataControlClipboard::Selection::primary);
    ASSERT_TRUE(primary.isUsable()) << "sway has data-control v2";
    ASSERT_TRUE(wlCopy("クリップボード"));
    ASSERT_TRUE(primary.setString(QStringLiteral("選択した文字"), Clipboard::stringType));
    EXPECT_EQ(runServing(QStringLiteral("timeout"), {QStringLiteral("10"), QStringLiteral("wl-paste"), QStringLiteral("-n"),
                                                     QStringLiteral("--primary")}),
              std::optional<QByteArray>(QStringLiteral("選択した文字").toUtf8()));
    EXPECT_EQ(wlPaste(QStringLiteral("text/plain;charset=utf-8")),
              std::optional<QByteArray>(QStringLiteral("クリップボード").toUtf8()))
        << "the clipboard is left alone";
    const auto items = clipboard_->items();
    ASSERT_TRUE(items);
    ASSERT_EQ(items->size(), 1u);
    EXPECT_EQ(dataOf(*items->front(), QStringLiteral("text/plain;charset=utf-8")),
              QStringLiteral("クリップボード").toUtf8());
}

TEST_F(WaylandClipboard, AFrozenCompositorCostsABoundedWaitNeverAHang) {
    // sway's IPC socket is named sway-ipc.<uid>.<pid>.sock.
    const QStringList parts = qEnvironmentVariable("SWAYSOCK").split(QLatin1Char('.'));
    ASSERT_GE(parts.size(), 3);
    const pid_t sway = pid_t(parts.at(parts.size() - 2).toInt());
    ASSERT_GT(sway, 0);
    VirtualKeyboardPoster keys(connection_);
    ASSERT_TRUE(keys.createEventSource());

    ::kill(sway, SIGSTOP);
    const auto resume = qScopeGuard([&] { ::kill(sway, SIGCONT); });
    QElapsedTimer timer;
    timer.start();
    EXPECT_FALSE(clipboard_->items()) << "no answer is a failed read";
    EXPECT_FALSE(clipboard_->setString(QStringLiteral("凍結中"), Clipboard::stringType)) << "an unconfirmed write";
    keys.post({9, true, 0x100000});
    keys.post({9, false, 0x100000});
    clipboard_->changeCount();
    const qint64 elapsed = timer.elapsed();
    EXPECT_LT(elapsed, 4 * WaylandConnection::kReplyLimit.count()) << "each exchange bounded by the reply limit";
    ::kill(sway, SIGCONT);

    // Once the compositor runs again, so does the clipboard.
    ASSERT_TRUE(waitFor([&] {
        const auto items = clipboard_->items();
        return items.has_value();
    }));
    ASSERT_TRUE(clipboard_->setString(QStringLiteral("再開"), Clipboard::stringType));
    EXPECT_EQ(wlPaste(QStringLiteral("text/plain;charset=utf-8")), std::optional<QByteArray>(QStringLiteral("再開").toUtf8()));
}

TEST(WaylandPlatform, TheFactoryBuildsTrustedProtocolBackends) {
    QString why;
    ASSERT_TRUE(waylandInputAvailable(&why)) << why.toStdString();
    const WaylandProtocolSupport support = probeWaylandProtocols();
    EXPECT_TRUE(support.connected);
    EXPECT_EQ(support.dataControl, 2u) << "sway 1.7 has data-control v2";
    EXPECT_TRUE(support.virtualKeyboard);
    EXPECT_TRUE(support.toplevelList);
    const LinuxInputPlatform platform = createWaylandInputPlatform();
    ASSERT_TRUE(platform.unavailableReason.isEmpty()) << platform.unavailableReason.toStdString();
    EXPECT_TRUE(platform.platform.trust->isTrusted());
    EXPECT_TRUE(dynamic_cast<DataControlClipboard*>(platform.platform.clipboard.get()));
    EXPECT_TRUE(dynamic_cast<VirtualKeyboardPoster*>(platform.platform.keys.get()));
    EXPECT_FALSE(platform.connection) << "no X11 on this path";
    // The generic entry point takes it under Wayland.
    const LinuxInputPlatform chosen = createLinuxInputPlatform();
    EXPECT_TRUE(chosen.wayland);
    EXPECT_TRUE(dynamic_cast<DataControlClipboard*>(chosen.platform.clipboard.get()));
}

TEST(WaylandPlatform, AKeyboardRequestStaysExactlyCtrlVAndReleasesEverything) {
    const PasteKeycodes keys{29, 42, 47, 110};
    using Step = VirtualKeyboardPoster::Step;
    const auto down = VirtualKeyboardPoster::pressSteps(PasteKey::ctrlV, keys, 4, 1);
    ASSERT_FALSE(down.empty());
    EXPECT_EQ(down.front(), (Step{Step::modifiers, 4, false})) << "the state says Control only, before the key";
    EXPECT_EQ(down.back(), (Step{Step::key, 47, true}));
    const auto up = VirtualKeyboardPoster::releaseSteps(PasteKey::ctrlV, keys);
    EXPECT_EQ(up.back(), (Step{Step::modifiers, 0, false})) << "no modifier left set";
    for (const Step& step : down) {
        if (step.kind == Step::key) {
            EXPECT_THAT(up, Contains(Step{Step::key, step.value, false})) << "key " << step.value << " released";
        }
    }
}

TEST(WaylandPlatform, ACopyMadeBeforeTheRestoreIsKept) {
    // No field reads the paste here: the restore comes after the fetch wait. The user copies
    // something else meanwhile, and that copy must survive the restore.
    LinuxInputPlatform platform = createWaylandInputPlatform();
    ASSERT_TRUE(platform.unavailableReason.isEmpty()) << platform.unavailableReason.toStdString();
    ASSERT_TRUE(wlCopy(QStringLiteral("前の内容").toUtf8()));
    InputEngine engine(platform.platform);
    engine.insert(QStringLiteral("貼り付ける文章"));
    ASSERT_TRUE(engine.clipboardRestorePending());
    ASSERT_TRUE(wlCopy(QStringLiteral("途中でコピーした内容").toUtf8()));
    ASSERT_TRUE(waitFor([&] { return !engine.clipboardRestorePending(); }));
    EXPECT_EQ(wlPaste(QStringLiteral("text/plain;charset=utf-8")),
              std::optional<QByteArray>(QStringLiteral("途中でコピーした内容").toUtf8()));
}

TEST(WaylandPlatform, TheUsersContentsComeBackWhenNothingElseCopied) {
    LinuxInputPlatform platform = createWaylandInputPlatform();
    ASSERT_TRUE(platform.unavailableReason.isEmpty()) << platform.unavailableReason.toStdString();
    ASSERT_TRUE(wlCopy(QStringLiteral("前の内容").toUtf8()));
    InputEngine engine(platform.platform);
    engine.insert(QStringLiteral("貼り付ける文章"));
    EXPECT_EQ(wlPaste(QStringLiteral("text/plain;charset=utf-8")),
              std::optional<QByteArray>(QStringLiteral("貼り付ける文章").toUtf8()));
    ASSERT_TRUE(waitFor([&] { return !engine.clipboardRestorePending(); }));
    EXPECT_EQ(wlPaste(QStringLiteral("text/plain;charset=utf-8")),
              std::optional<QByteArray>(QStringLiteral("前の内容").toUtf8()));
}

struct TargetKind {
    const char* name;
    std::function<std::unique_ptr<quillory::test::WaylandTarget>()> make;
};
void PrintTo(const TargetKind& kind, std::ostream* os) {
    *os << kind.name;
}

class WaylandPaste : public ::testing::TestWithParam<TargetKind> {};

TEST_P(WaylandPaste, QuilloryPasteLandsOnceAndTheUsersClipboardComesBack) {
    auto target = GetParam().make();
    ASSERT_TRUE(target->waitReady()) << "the field never got the keyboard:\n" << target->transcript();

    const QByteArray users = QStringLiteral("ユーザーの大事なクリップボード").toUtf8();
    ASSERT_TRUE(wlCopy(users));
    const QStringList usersTypes = wlPasteTypes();
    ASSERT_GE(usersTypes.size(), 2);

    const QString dictated = QStringLiteral("音声入力の文章です。");
    QByteArray err;
    const auto out = runServing(QStringLiteral(QUILLORY_EXECUTABLE), {QStringLiteral("paste"), dictated}, &err);
    ASSERT_TRUE(out) << "quillory paste failed: " << err.toStdString();
    EXPECT_THAT(out->toStdString(), ::testing::HasSubstr("with Ctrl+V"));

    ASSERT_TRUE(waitFor([&] { return target->text() == dictated; }))
        << "arrived: \"" << target->text().toStdString() << "\"\n" << target->transcript() << err.toStdString();
    // The user's clipboard comes back in every format it had, served after the command exited.
    ASSERT_TRUE(waitFor([&] { return wlPaste(QStringLiteral("text/plain;charset=utf-8")) == users; }))
        << "the clipboard holds: " << wlPaste(QStringLiteral("text/plain;charset=utf-8")).value_or("<none>").toStdString();
    for (const QString& type : usersTypes) {
        EXPECT_EQ(wlPaste(type), std::optional<QByteArray>(users)) << type.toStdString();
    }
    // Exactly once: nothing more arrives after the restore.
    QElapsedTimer settle;
    settle.start();
    waitFor([&] { return settle.elapsed() > 1500; });
    EXPECT_EQ(target->text(), dictated);
}

INSTANTIATE_TEST_SUITE_P(
    Targets, WaylandPaste,
    ::testing::Values(
        TargetKind{"gtk3", [] { return quillory::test::gtk3Target(QStringLiteral(QUILLORY_REAL_TARGET_SCRIPT)); }},
        TargetKind{"gtk4",
                   [] {
                       // Drawn in software: the headless compositor has no GPU.
                       return std::make_unique<quillory::test::WaylandTarget>(
                           QStringLiteral("/usr/bin/python3"),
                           QStringList{QStringLiteral(QUILLORY_REAL_TARGET_SCRIPT), QStringLiteral("gtk4")},
                           QStringList{QStringLiteral("GDK_BACKEND=wayland"), QStringLiteral("GSK_RENDERER=cairo")});
                   }},
        TargetKind{"qt", [] { return quillory::test::qtTarget(QStringLiteral(QUILLORY_INPUT_TARGET_WINDOW)); }}),
    [](const ::testing::TestParamInfo<TargetKind>& info) { return std::string(info.param.name); });

TEST(WaylandTerminal, ATerminalGetsCtrlShiftVByTheActiveWindowsAppIdAndOnePaste) {
    QTemporaryDir dir;
    const QString report = dir.filePath(QStringLiteral("report"));
    QProcess terminal;
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    environment.insert(QStringLiteral("GDK_BACKEND"), QStringLiteral("wayland"));
    environment.remove(QStringLiteral("DISPLAY"));
    terminal.setProcessEnvironment(environment);
    terminal.start(QStringLiteral("xfce4-terminal"),
                   {QStringLiteral("--disable-server"), QStringLiteral("-x"), QStringLiteral("/usr/bin/python3"),
                    QStringLiteral(QUILLORY_REAL_TARGET_SCRIPT), QStringLiteral("tty"), report});
    const auto cleanup = qScopeGuard([&] {
        terminal.kill();
        terminal.waitForFinished(5000);
    });
    const auto reportLines = [&] {
        QFile file(report);
        return file.open(QIODevice::ReadOnly) ? file.readAll().split('\n') : QList<QByteArray>();
    };
    ASSERT_TRUE(waitFor([&] { return reportLines().contains("ready"); }, 60000)) << "the terminal did not start";
    QString why;
    const auto connection = WaylandConnection::open(&why);
    ASSERT_TRUE(connection) << why.toStdString();
    ASSERT_TRUE(connection->listsToplevels()) << "sway lists its windows";
    ASSERT_TRUE(waitFor([&] { return connection->activeAppId() == QLatin1String("xfce4-terminal"); }))
        << "active: " << connection->activeAppId().toStdString();

    const QByteArray users = QStringLiteral("端末の前の内容").toUtf8();
    ASSERT_TRUE(wlCopy(users));
    const QString dictated = QStringLiteral("端末への音声入力");
    QByteArray err;
    const auto out = runServing(QStringLiteral(QUILLORY_EXECUTABLE), {QStringLiteral("paste"), dictated}, &err);
    ASSERT_TRUE(out) << "quillory paste failed: " << err.toStdString();
    EXPECT_THAT(out->toStdString(), ::testing::HasSubstr("with Ctrl+Shift+V (terminal)"));

    const auto lastText = [&] {
        QString text;
        for (const QByteArray& line : reportLines()) {
            if (line.startsWith("text ")) {
                text = QString::fromUtf8(QByteArray::fromBase64(line.split(' ').value(2)));
            }
        }
        return text;
    };
    ASSERT_TRUE(waitFor([&] { return lastText() == dictated; })) << "arrived: " << lastText().toStdString();
    ASSERT_TRUE(waitFor([&] { return wlPaste(QStringLiteral("text/plain;charset=utf-8")) == users; }));
    QElapsedTimer settle;
    settle.start();
    waitFor([&] { return settle.elapsed() > 1500; });
    EXPECT_EQ(lastText(), dictated);
    EXPECT_EQ(reportLines().count("paste 1"), 1);
    EXPECT_FALSE(reportLines().contains("paste 2")) << "one paste, not two";
}

} // namespace

// Runs only inside scripts/wayland-session.sh: the tests take over the clipboard of the
// compositor they find.
int main(int argc, char** argv) {
    qputenv("QUILLORY_LANGUAGE", "en");
    if (qEnvironmentVariableIsEmpty("QUILLORY_DESKTOP_SESSION") || qEnvironmentVariableIsEmpty("WAYLAND_DISPLAY")) {
        std::fprintf(stderr, "Wayland desktop tests run inside scripts/wayland-session.sh\n");
        return 2;
    }
    quillory::Localization::installAllStrings();
    QCoreApplication app(argc, argv);
    ::testing::InitGoogleMock(&argc, argv);
    return RUN_ALL_TESTS();
}
