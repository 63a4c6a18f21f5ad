// GNOME's paths on a real mutter: headless mutter 43 from scripts/gnome-session.sh (XWayland on,
// XDG_CURRENT_DESKTOP=GNOME), and the same tests under headless gnome-shell 43 (`--shell`), which
// users run. The clipboard of mutter's remote desktop session against a second
// session standing for another application, and `quillory paste` into native Wayland GTK 3, GTK 4
// and Qt fields without focus on any window of ours, with the user's clipboard back afterwards;
// `doctor --json` names the paths; the tray app dictating with its overlay shown while the field
// keeps the keyboard.
#include "Input/gnome/MutterRemoteDesktop.h"
#include "Strings/StringTables.h"

#include "WaylandTestSupport.h"

#include <QCoreApplication>
#include <QDBusConnection>
#include <QDBusConnectionInterface>
#include <QDBusMessage>
#include <QElapsedTimer>
#include <QJsonDocument>
#include <QJsonObject>
#include <QDir>
#include <QFile>
#include <QProcess>
#include <QScopeGuard>
#include <QTemporaryDir>
#include <QThread>

#include <gmock/gmock.h>

#include <cstdio>
#include <cstring>
#include <functional>
#include <poll.h>
#include <unistd.h>

using namespace quillory;
using namespace quillory::input;

namespace {

// Generous for a loaded 2-core machine; every wait polls its condition.
constexpr int kWaitMs = 60000;

bool waitFor(const std::function<bool()>& done, int timeoutMs = kWaitMs) {
    return quillory::test::pollUntil(done, timeoutMs);
}

/// Runs a program to its end while this process keeps serving its clipboard.
struct CommandRun {
    bool ok = false;
    QByteArray out;
    QByteArray err;
};
CommandRun runServing(const QString& program, const QStringList& args) {
    QProcess process;
    process.start(program, args);
    CommandRun r;
    if (!process.waitForStarted(kWaitMs)) {
        return r;
    }
    if (!waitFor([&] { return process.state() == QProcess::NotRunning; })) {
        process.kill();
        process.waitForFinished(5000);
        r.err = "timed out";
        return r;
    }
    r.out = process.readAllStandardOutput();
    r.err = process.readAllStandardError();
    r.ok = process.exitStatus() == QProcess::NormalExit && process.exitCode() == 0;
    return r;
}

/// The text another application finds on the clipboard.
std::optional<QByteArray> clipboardText(MutterRemoteDesktop& reader) {
    const auto items = reader.items();
    if (!items || items->empty()) {
        return std::nullopt;
    }
    return items->front()->data(QStringLiteral("text/plain;charset=utf-8"));
}

/// A keyboard on the headless seat, which reads no real one (windows get keyboard focus only
/// while the seat has a keyboard): a remote desktop session whose first key, a lone Shift, plugs
/// its virtual keyboard in. Kept for the test, as a real keyboard would be.
class SeatKeyboard {
public:
    bool plugIn(QString* why) {
        const Expected<> opened = bus_->open({});
        Expected<> pressed = opened ? bus_->keysym(0xffe1, true) : opened;
        if (pressed) {
            pressed = bus_->keysym(0xffe1, false);
        }
        *why = pressed.error();
        return pressed.ok();
    }

private:
    std::unique_ptr<MutterSessionBus> bus_ = makeMutterSessionBus();
};

/// Gives a new window the keyboard as the user's click into it would. Bare mutter focuses a new
/// window itself; gnome-shell gives none without an activation token (it shows "… is ready"
/// instead), so there the shell, in unsafe mode (scripts/gnome-session.sh --shell), first leaves
/// the overview it starts in (a window activated from the overview had the shell's focus but not
/// the Wayland keyboard), then activates the window of the target's process, until the field
/// reports the keyboard.
bool giveKeyboard(quillory::test::WaylandTarget& target, QString* why) {
    QDBusConnection bus = QDBusConnection::sessionBus();
    if (!bus.interface()->isServiceRegistered(QStringLiteral("org.gnome.Shell"))) {
        return target.waitReady();
    }
    const QString activate =
        QStringLiteral("const w = global.get_window_actors().map(a => a.meta_window).find(w => w.get_pid() === %1);"
                       "if (Main.overview.visible) { if (!Main.overview.animationInProgress) Main.overview.hide(); }"
                       "else if (w && !w.has_focus()) w.activate(global.display.get_current_time_roundtrip());"
                       "const f = global.display.focus_window;"
                       "({window: w ? w.get_title() : null, focus: f ? f.get_title() : null, overview: Main.overview.visible})")
            .arg(target.pid());
    QElapsedTimer lastTry;
    return waitFor([&] {
        if (target.ready() || !target.running()) {
            return true;
        }
        if (!lastTry.isValid() || lastTry.elapsed() > 250) {
            lastTry.start();
            QDBusMessage eval = QDBusMessage::createMethodCall(QStringLiteral("org.gnome.Shell"), QStringLiteral("/org/gnome/Shell"),
                                                               QStringLiteral("org.gnome.Shell"), QStringLiteral("Eval"));
            eval << activate;
            const QDBusMessage reply = bus.call(eval, QDBus::Block, 10000);
            *why = QStringLiteral("gnome-shell's last answer: %1").arg(
                reply.type() == QDBusMessage::ReplyMessage ? reply.arguments().value(1).toString() : reply.errorMessage());
        }
        return false;
    }) && target.ready();
}

/// This test program as another application (its own process, its own session): `--own`
/// puts a text and an HTML copy on the clipboard and serves them until its standard input
/// closes; `--print` writes the clipboard's plain text as one base64 line.
int otherApplication(const QString& mode) {
    MutterRemoteDesktop session(makeMutterSessionBus());
    if (!session.ensureOpen()) {
        std::fprintf(stderr, "%s\n", qPrintable(session.lastError()));
        return 1;
    }
    if (mode == QLatin1String("--print")) {
        const auto text = clipboardText(session);
        std::printf("%s\n", text ? text->toBase64().constData() : "none");
        return 0;
    }
    ClipboardItem item;
    item.entries = {{QStringLiteral("text/plain;charset=utf-8"), QStringLiteral("ユーザーがコピーした文章")},
                    {QStringLiteral("text/html"), QByteArray("<b>コピー</b>")}};
    if (!session.writeItems({item})) {
        return 1;
    }
    std::printf("owned\n");
    std::fflush(stdout);
    for (;;) {
        pollfd in{0, POLLIN, 0};
        if (::poll(&in, 1, 0) > 0) {
            char c;
            if (::read(0, &c, 1) <= 0) {
                return 0;
            }
        }
        QCoreApplication::processEvents(QEventLoop::AllEvents, 20);
        QThread::msleep(10);
    }
}

class MutterClipboard : public ::testing::Test {
protected:
    void SetUp() override { ASSERT_TRUE(ours.ensureOpen()) << ours.lastError().toStdString(); }
    MutterRemoteDesktop ours{makeMutterSessionBus()};
};

TEST_F(MutterClipboard, AnotherOwnersCopyIsAChangeAndReadsBackInEveryType) {
    const qint64 before = ours.changeCount();
    QProcess other;
    other.start(QCoreApplication::applicationFilePath(), {QStringLiteral("--own")});
    ASSERT_TRUE(waitFor([&] { return other.canReadLine() || other.state() == QProcess::NotRunning; }));
    ASSERT_EQ(other.readLine(), "owned\n") << other.readAllStandardError().toStdString();
    ASSERT_TRUE(waitFor([&] { return ours.changeCount() > before; })) << "another owner's copy is a change";
    std::optional<std::vector<std::shared_ptr<const ClipboardItemSource>>> items;
    ASSERT_TRUE(waitFor([&] {
        items = ours.items();
        return items && items->size() == 1 && items->front()->types().contains(QStringLiteral("text/html"));
    }));
    EXPECT_EQ(items->front()->data(QStringLiteral("text/html")), QByteArray("<b>コピー</b>"));
    EXPECT_EQ(items->front()->data(QStringLiteral("text/plain;charset=utf-8")),
              QStringLiteral("ユーザーがコピーした文章").toUtf8());

    // Our write: counted once, and another application reads it from us.
    const qint64 mine = ours.changeCount();
    ASSERT_TRUE(ours.setString(QStringLiteral("書いた文章"), Clipboard::stringType));
    EXPECT_EQ(ours.changeCount(), mine + 1);
    // A read is given up after a second; on a loaded machine the hand-over through mutter can take
    // longer, so the reader tries again.
    CommandRun read;
    EXPECT_TRUE(waitFor([&] {
        read = runServing(QCoreApplication::applicationFilePath(), {QStringLiteral("--print")});
        return read.ok && QByteArray::fromBase64(read.out.trimmed()) == QStringLiteral("書いた文章").toUtf8();
    })) << read.out.toStdString() << read.err.toStdString();
    EXPECT_EQ(ours.changeCount(), mine + 1) << "our own write's echo and reads change nothing";
    other.closeWriteChannel();
    other.waitForFinished(10000);
}

struct TargetKind {
    const char* name;
    QString program;
    QStringList args;
    QStringList env;
};
void PrintTo(const TargetKind& kind, std::ostream* os) {
    *os << kind.name;
}

class GnomePaste : public ::testing::TestWithParam<TargetKind> {};

TEST_P(GnomePaste, QuilloryPasteLandsOnceAndTheUsersClipboardComesBack) {
    SeatKeyboard keyboard;
    QString why;
    ASSERT_TRUE(keyboard.plugIn(&why)) << why.toStdString();
    // The user's other application, owning the clipboard.
    MutterRemoteDesktop user(makeMutterSessionBus());
    ASSERT_TRUE(user.ensureOpen()) << user.lastError().toStdString();

    const TargetKind& kind = GetParam();
    quillory::test::WaylandTarget target(kind.program, kind.args, kind.env);
    ASSERT_TRUE(giveKeyboard(target, &why)) << "the field never got the keyboard (" << why.toStdString() << "):\n"
                                            << target.transcript();

    const QByteArray users = QStringLiteral("ユーザーの大事なクリップボード").toUtf8();
    ASSERT_TRUE(user.setString(QString::fromUtf8(users), Clipboard::stringType));

    const QString dictated = QStringLiteral("音声入力の文章です。");
    const CommandRun paste = runServing(QStringLiteral(QUILLORY_EXECUTABLE), {QStringLiteral("paste"), dictated});
    ASSERT_TRUE(paste.ok) << "quillory paste failed: " << paste.err.toStdString();
    EXPECT_THAT(paste.out.toStdString(), ::testing::HasSubstr("with Ctrl+V"));
    ASSERT_TRUE(waitFor([&] { return target.text() == dictated; }))
        << "arrived: \"" << target.text().toStdString() << "\"\n" << target.transcript() << paste.err.toStdString();

    // The user's clipboard comes back (after the command exited, mutter keeps what it last served).
    std::optional<QByteArray> now;
    ASSERT_TRUE(waitFor([&] { return (now = clipboardText(user)) == users; }))
        << "the clipboard holds: " << now.value_or("<none>").toStdString();
    // Exactly once: nothing more arrives.
    QElapsedTimer settle;
    settle.start();
    waitFor([&] { return settle.elapsed() > 1500; });
    EXPECT_EQ(target.text(), dictated);
    EXPECT_EQ(target.focusLosses(), 0) << "the field kept the keyboard";
}

INSTANTIATE_TEST_SUITE_P(
    Targets, GnomePaste,
    ::testing::Values(
        TargetKind{"gtk3", QStringLiteral("/usr/bin/python3"),
                   {QStringLiteral(QUILLORY_REAL_TARGET_SCRIPT), QStringLiteral("gtk3")},
                   {QStringLiteral("GDK_BACKEND=wayland")}},
        // Drawn in software: the headless compositor has no GPU.
        TargetKind{"gtk4", QStringLiteral("/usr/bin/python3"),
                   {QStringLiteral(QUILLORY_REAL_TARGET_SCRIPT), QStringLiteral("gtk4")},
                   {QStringLiteral("GDK_BACKEND=wayland"), QStringLiteral("GSK_RENDERER=cairo")}},
        TargetKind{"qt", QStringLiteral(QUILLORY_INPUT_TARGET_WINDOW),
                   {QStringLiteral("-platform"), QStringLiteral("wayland")}, {}}),
    [](const ::testing::TestParamInfo<TargetKind>& info) { return std::string(info.param.name); });

/// Runs a command with `env` to its end (bounded).
CommandRun runWith(const QString& program, const QStringList& args, const QProcessEnvironment& env) {
    QProcess p;
    p.setProcessEnvironment(env);
    p.start(program, args);
    CommandRun r;
    if (!p.waitForFinished(30000)) {
        p.kill();
        p.waitForFinished(3000);
        r.err = "timed out";
        return r;
    }
    r.ok = p.exitStatus() == QProcess::NormalExit && p.exitCode() == 0;
    r.out = p.readAllStandardOutput();
    r.err = p.readAllStandardError();
    return r;
}

/// Whether an X11 (XWayland) window of the app is mapped: the overlay.
bool overlayShown() {
    return !runWith(QStringLiteral("xdotool"), {"search", "--onlyvisible", "--class", "quillory"},
                    QProcessEnvironment::systemEnvironment())
                .out.trimmed()
                .isEmpty();
}

/// The tray app dictating with push-to-talk (the tiny speech model, the pipe microphone): its
/// sentence lands once in a native Wayland field that keeps the keyboard while the overlay shows,
/// and the user's clipboard comes back.
TEST(GnomeAppDictation, PushToTalkPastesOnceIntoTheFieldWhichKeepsTheKeyboard) {
    const QString model = qEnvironmentVariable("QUILLORY_TEST_WHISPER_MODEL");
    const QString vad = qEnvironmentVariable("QUILLORY_TEST_WHISPER_VAD_MODEL");
    const QString sentence = qEnvironmentVariable("QUILLORY_TEST_WHISPER_SENTENCE");
    ASSERT_FALSE(model.isEmpty() || vad.isEmpty() || sentence.isEmpty() ||
                 qEnvironmentVariableIsEmpty("QUILLORY_TEST_PIPE_SOURCE"))
        << "the tiny speech model or the pipe microphone is not set up (scripts/run-tests.sh sets them)";
    QTemporaryDir dir;
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert(QStringLiteral("QUILLORY_APP_SOCKET"), dir.path() + QStringLiteral("/run/app.socket"));
    env.insert(QStringLiteral("XDG_CONFIG_HOME"), dir.path() + QStringLiteral("/config"));
    env.insert(QStringLiteral("XDG_DATA_HOME"), dir.path() + QStringLiteral("/data"));
    env.insert(QStringLiteral("QUILLORY_WHISPER_THREADS"), QStringLiteral("1"));
    const auto quillory = [&](const QStringList& args) { return runWith(QStringLiteral(QUILLORY_EXECUTABLE), args, env); };
    const auto status = [&] { return QString::fromUtf8(quillory({"status"}).out).trimmed(); };
    const QString models = dir.path() + QStringLiteral("/data/quillory/SpeechModels");
    ASSERT_TRUE(QDir().mkpath(models));
    ASSERT_TRUE(QFile::link(model, models + QStringLiteral("/ggml-kotoba-whisper-v2.0-q5_0.bin")));
    ASSERT_TRUE(QFile::link(vad, models + QStringLiteral("/ggml-silero-v5.1.2.bin")));
    std::vector<float> audio = quillory::test::wavSamples(QStringLiteral(QUILLORY_FIXTURES "/speech/plain.wav"));
    ASSERT_GT(audio.size(), 16000u);
    audio.insert(audio.end(), 16000, 0.0f);
    ASSERT_TRUE(quillory({"settings", "set", "quillory.firstLaunch.settingsOpened", "true", "--bool"}).ok);
    ASSERT_TRUE(quillory({"settings", "set", "quillory.firstLaunch.noTrayNoticeShown", "true", "--bool"}).ok);

    SeatKeyboard keyboard;
    QString why;
    ASSERT_TRUE(keyboard.plugIn(&why)) << why.toStdString();

    QProcess app;
    app.setProcessEnvironment(env);
    app.setProcessChannelMode(QProcess::ForwardedChannels);
    app.start(QStringLiteral(QUILLORY_EXECUTABLE), {});
    const auto stop = qScopeGuard([&] {
        app.terminate();
        if (!app.waitForFinished(10000)) {
            app.kill();
            app.waitForFinished(3000);
        }
    });
    ASSERT_TRUE(app.waitForStarted(kWaitMs));
    ASSERT_TRUE(waitFor([&] { return status() == QLatin1String("idle"); })) << "the app never answered";
    quillory::test::WaylandTarget target(QStringLiteral("/usr/bin/python3"),
                                         {QStringLiteral(QUILLORY_REAL_TARGET_SCRIPT), QStringLiteral("gtk3")},
                                         {QStringLiteral("GDK_BACKEND=wayland")});
    ASSERT_TRUE(giveKeyboard(target, &why)) << "the field never got the keyboard (" << why.toStdString() << "):\n"
                                            << target.transcript();
    // The user's clipboard, owned by another process that serves it while this one waits on
    // commands.
    QProcess other;
    other.start(QCoreApplication::applicationFilePath(), {QStringLiteral("--own")});
    const auto stopOther = qScopeGuard([&] {
        other.closeWriteChannel();
        other.waitForFinished(10000);
    });
    ASSERT_TRUE(waitFor([&] { return other.canReadLine() || other.state() == QProcess::NotRunning; }));
    ASSERT_EQ(other.readLine(), "owned\n") << other.readAllStandardError().toStdString();

    ASSERT_TRUE(quillory({"press"}).ok);
    ASSERT_TRUE(waitFor([&] { return status() == QLatin1String("recording") && overlayShown(); }))
        << "status " << status().toStdString() << ", overlay shown: " << overlayShown();
    ASSERT_TRUE(quillory::test::speakIntoPipeMicrophone(audio)) << "the pipe microphone did not take the audio";
    EXPECT_EQ(target.focusLosses(), 0) << "the field lost the keyboard while recording:\n" << target.transcript();

    ASSERT_TRUE(quillory({"release"}).ok);
    EXPECT_TRUE(waitFor([&] { return status() == QLatin1String("idle"); })) << status().toStdString();
    EXPECT_TRUE(waitFor([&] { return target.text() == sentence; }))
        << "arrived: \"" << target.text().toStdString() << "\"\n" << target.transcript();
    QByteArray now;
    EXPECT_TRUE(waitFor([&] {
        now = QByteArray::fromBase64(runServing(QCoreApplication::applicationFilePath(), {QStringLiteral("--print")}).out.trimmed());
        return now == QStringLiteral("ユーザーがコピーした文章").toUtf8();
    })) << "the clipboard holds: " << now.toStdString();
    QElapsedTimer settle;
    settle.start();
    (void)waitFor([&] { return settle.elapsed() > 1500; });
    EXPECT_EQ(target.text(), sentence) << target.transcript();
    EXPECT_EQ(target.focusLosses(), 0) << "the field lost the keyboard:\n" << target.transcript();
}

TEST(GnomeDoctor, NamesMuttersRemoteDesktopForPasteAndClipboard) {
    const CommandRun doctor = runServing(QStringLiteral(QUILLORY_EXECUTABLE), {QStringLiteral("doctor"), QStringLiteral("--json")});
    const QJsonDocument json = QJsonDocument::fromJson(doctor.out);
    ASSERT_TRUE(json.isObject()) << doctor.out.toStdString() << doctor.err.toStdString();
    const QString text = QString::fromUtf8(doctor.out);
    EXPECT_THAT(text.toStdString(), ::testing::HasSubstr("mutter-remote-desktop")) << text.toStdString();
    EXPECT_THAT(text.toStdString(), ::testing::HasSubstr("GNOME"));
}

} // namespace

int main(int argc, char** argv) {
    qputenv("QUILLORY_LANGUAGE", "en");
    if (argc == 2 && (std::strcmp(argv[1], "--own") == 0 || std::strcmp(argv[1], "--print") == 0)) {
        quillory::Localization::installAllStrings();
        QCoreApplication app(argc, argv);
        return otherApplication(QString::fromLatin1(argv[1]));
    }
    if (qEnvironmentVariableIsEmpty("QUILLORY_DESKTOP_SESSION") || qEnvironmentVariable("XDG_CURRENT_DESKTOP") != "GNOME") {
        std::fprintf(stderr, "GNOME desktop tests run inside scripts/gnome-session.sh\n");
        return 2;
    }
    quillory::Localization::installAllStrings();
    QCoreApplication app(argc, argv);
    ::testing::InitGoogleMock(&argc, argv);
    return RUN_ALL_TESTS();
}
