// Pastes into real terminal emulators of the distribution: each receives the dictated text exactly
// once, by the key its default bindings paste with (xterm and urxvt: Shift+Insert, which reads the
// primary selection; the VTE terminal: Ctrl+Shift+V), never a control character, and the user's
// clipboard and primary selection come back afterwards.
#include "Input/InputEngine.h"
#include "Input/x11/ActiveWindow.h"
#include "Input/x11/LinuxInputPlatform.h"
#include "Input/x11/TerminalClasses.h"
#include "Input/x11/XTestKeyPoster.h"
#include "Runtime/DefaultsStore.h"

#include <QClipboard>
#include <QFile>
#include <QGuiApplication>
#include <QProcess>
#include <QScopeGuard>
#include <QTemporaryDir>
#include <QTest>

#include <gtest/gtest.h>

namespace quillory::input {
void PrintTo(PasteKey key, std::ostream* os) {
    *os << pasteKeyName(key).toStdString();
}
} // namespace quillory::input

using namespace quillory;
using namespace quillory::input;

namespace {

struct Terminal {
    const char* program;
    QStringList arguments; ///< before the command
    const char* windowClass;
    PasteKey key;
};

void PrintTo(const Terminal& terminal, std::ostream* os) {
    *os << terminal.program;
}

class DesktopTerminal : public ::testing::TestWithParam<Terminal> {};

/// The terminal reads raw bytes into a file: what the paste typed, byte for byte.
QString receiverScript(const QString& ready, const QString& received) {
    return QStringLiteral("stty raw -echo; : > '%1'; exec cat > '%2'").arg(ready, received);
}

TEST_P(DesktopTerminal, TheDictatedTextArrivesOnceByTheTerminalsOwnPasteKey) {
    const Terminal& terminal = GetParam();
    DefaultsStore::standard().remove(TerminalClasses::storeKey);
    LinuxInputPlatform desktop = createLinuxInputPlatform();
    ASSERT_TRUE(desktop.unavailableReason.isEmpty()) << desktop.unavailableReason.toStdString();
    desktop.platform.focus = nullptr; // the paste alone: the accessibility bus is another test's
    InputEngine engine(desktop.platform);

    // The user's clipboard and selection, served by this process.
    QClipboard* clipboard = QGuiApplication::clipboard();
    clipboard->setText(QStringLiteral("the user's clipboard"), QClipboard::Clipboard);
    clipboard->setText(QStringLiteral("the user's selection"), QClipboard::Selection);

    QTemporaryDir dir;
    ASSERT_TRUE(dir.isValid());
    const QString ready = dir.filePath("ready"), received = dir.filePath("received");
    QProcess process;
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert("LC_ALL", "C.UTF-8");
    process.setProcessEnvironment(env);
    process.setProcessChannelMode(QProcess::ForwardedErrorChannel);
    process.start(QLatin1String(terminal.program),
                  terminal.arguments + QStringList{"sh", "-c", receiverScript(ready, received)});
    ASSERT_TRUE(process.waitForStarted(10000)) << terminal.program;
    const auto stop = qScopeGuard([&] {
        process.kill();
        process.waitForFinished(5000);
    });
    // Up, and its window has the keyboard (a loaded machine may take long to start one).
    ASSERT_TRUE(QTest::qWaitFor(
        [&] {
            const auto active = activeWindowClass(*desktop.connection);
            return QFile::exists(ready) && active &&
                   active->className.compare(QLatin1String(terminal.windowClass), Qt::CaseInsensitive) == 0;
        },
        60000))
        << terminal.program << " did not start or take the focus";

    const QString text = QStringLiteral("echo 貼り付け ok");
    engine.insert(text);
    const auto& keys = dynamic_cast<const XTestKeyPoster&>(*desktop.platform.keys);
    EXPECT_EQ(keys.lastPress().key, terminal.key);

    const QByteArray expected = text.toUtf8();
    QByteArray got;
    const auto read = [&] {
        QFile f(received);
        got = f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray();
        return got;
    };
    EXPECT_TRUE(QTest::qWaitFor([&] { return read().size() >= expected.size(); }, 15000))
        << "received: " << got.toHex(' ').toStdString();
    ASSERT_TRUE(QTest::qWaitFor([&] { return !engine.clipboardRestorePending(); }, 10000));
    QTest::qWait(300); // anything more the terminal would type comes with its paste
    EXPECT_EQ(read(), expected) << "hex: " << got.toHex(' ').toStdString();
    EXPECT_FALSE(got.contains('\x16')) << "a literal Ctrl+V reached the terminal";

    EXPECT_EQ(clipboard->text(QClipboard::Clipboard), QStringLiteral("the user's clipboard"));
    EXPECT_EQ(clipboard->text(QClipboard::Selection), QStringLiteral("the user's selection"));
}

INSTANTIATE_TEST_SUITE_P(
    RealPrograms, DesktopTerminal,
    ::testing::Values(Terminal{"xterm", {"-u8", "-fa", "Monospace", "-fs", "10", "-e"}, "XTerm", PasteKey::shiftInsert},
                      Terminal{"urxvt", {"-fn", "xft:Monospace:size=10", "-e"}, "URxvt", PasteKey::shiftInsert},
                      Terminal{"xfce4-terminal", {"--disable-server", "-x"}, "Xfce4-terminal", PasteKey::ctrlShiftV}),
    [](const ::testing::TestParamInfo<Terminal>& info) {
        return QString::fromLatin1(info.param.program).remove('-').remove('4').toStdString();
    });

} // namespace
