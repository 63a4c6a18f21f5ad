// The tray app dictating on headless sway (scripts/wayland-session.sh, a seat keyboard plugged in,
// the pipe microphone) and on headless KWin (scripts/kwin-session.sh, the paste key through the
// RemoteDesktop portal; sway's window tree is not there, the field's own focus reports are): push-to-talk through `quillory press` / `quillory release` with the tiny
// speech model, its sentence pasted once into a native Wayland GTK 3 entry or Qt line edit that
// keeps the keyboard the whole time — the overlay, a layer-shell surface of the app (never a
// window: none in sway's tree, none on XWayland), shown while recording and processing never
// takes it — and the user's clipboard back afterwards.
#include "WaylandTestSupport.h"

#include <QCoreApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QTemporaryDir>
#include <QThread>

#include <gtest/gtest.h>

#include <cstdlib>
#include <cstdio>
#include <functional>
#include <unistd.h>
#include <vector>

namespace {

// Generous for a loaded 2-core machine; every wait polls its condition.
constexpr int kWaitMs = 60000;

bool waitFor(const std::function<bool()>& done, int timeoutMs = kWaitMs) {
    return quillory::test::pollUntil(done, timeoutMs);
}

struct CommandRun {
    int exitCode = -1;
    QByteArray out;
    QByteArray err;
};
CommandRun run(const QString& program, const QStringList& args, const QProcessEnvironment& env = QProcessEnvironment::systemEnvironment()) {
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
    r.exitCode = p.exitStatus() == QProcess::NormalExit ? p.exitCode() : -1;
    r.out = p.readAllStandardOutput();
    r.err = p.readAllStandardError();
    return r;
}

/// What another client reads from the clipboard (wl-paste hangs on an empty one: bounded).
QByteArray wlPaste() {
    return run(QStringLiteral("timeout"), {"10", "wl-paste", "-n", "-t", "text/plain;charset=utf-8"}).out;
}

/// The process id of the window sway's tree marks focused (0: none).
qint64 focusedPid() {
    const QJsonDocument tree = QJsonDocument::fromJson(run(QStringLiteral("swaymsg"), {"-r", "-t", "get_tree"}).out);
    std::function<qint64(const QJsonObject&)> walk = [&](const QJsonObject& node) -> qint64 {
        if (node.value(QStringLiteral("focused")).toBool()) {
            return qint64(node.value(QStringLiteral("pid")).toDouble());
        }
        for (const char* key : {"nodes", "floating_nodes"}) {
            for (const QJsonValue& child : node.value(QLatin1String(key)).toArray()) {
                if (const qint64 pid = walk(child.toObject())) return pid;
            }
        }
        return 0;
    };
    return walk(tree.object());
}

/// Whether the compositor is sway (its IPC tells which window has the focus and what the seat holds).
bool onSway() {
    return !qEnvironmentVariableIsEmpty("SWAYSOCK");
}

/// How many keyboards the seat has (the seat keyboard, and the app's virtual keyboard once built).
int seatKeyboards() {
    const QJsonDocument inputs = QJsonDocument::fromJson(run(QStringLiteral("swaymsg"), {"-r", "-t", "get_inputs"}).out);
    int count = 0;
    for (const QJsonValue& input : inputs.array()) {
        count += input.toObject().value(QStringLiteral("type")).toString() == QLatin1String("keyboard");
    }
    return count;
}

/// Whether an X11 (XWayland) window of the app is mapped (the overlay was one before layer-shell).
bool x11WindowShown() {
    return !run(QStringLiteral("xdotool"), {"search", "--onlyvisible", "--class", "quillory"}).out.trimmed().isEmpty();
}

/// The pixels sway shows in the strip's default place on its 1280x800 output (bottom centre, a few
/// pixels in from its edges), read back through wlr-screencopy by grim: RGB bytes, empty on failure.
QByteArray swayStripPixels() {
    const QByteArray ppm = run(QStringLiteral("grim"), {"-t", "ppm", "-g", "506,740 268x32", "-"}).out;
    // "P6\n<w> <h>\n255\n" and the bytes.
    int newlines = 0;
    for (qsizetype i = 0; i < ppm.size(); ++i) {
        if (ppm[i] == '\n' && ++newlines == 3) {
            return ppm.mid(i + 1);
        }
    }
    return {};
}
/// The strip's place once the field's window has settled there (the same pixels half a second apart).
QByteArray settledStripPixels() {
    QByteArray last = swayStripPixels(), now;
    (void)quillory::test::pollUntil([&] {
        QElapsedTimer gap;
        gap.start();
        (void)quillory::test::pollUntil([&] { return gap.elapsed() > 500; }, 1000);
        now = swayStripPixels();
        const bool same = !now.isEmpty() && now == last;
        last = now;
        return same;
    }, kWaitMs);
    return now;
}
/// The share of bytes that differ between two captures of the same place.
double differingShare(const QByteArray& a, const QByteArray& b) {
    if (a.isEmpty() || a.size() != b.size()) return 1.0;
    qsizetype differing = 0;
    for (qsizetype i = 0; i < a.size(); ++i) {
        differing += std::abs(int(quint8(a[i])) - int(quint8(b[i]))) > 8;
    }
    return double(differing) / double(a.size());
}

/// How many windows of process `pid` sway's tree holds (native or XWayland).
int swayWindowsOf(qint64 pid) {
    const QJsonDocument tree = QJsonDocument::fromJson(run(QStringLiteral("swaymsg"), {"-r", "-t", "get_tree"}).out);
    std::function<int(const QJsonObject&)> walk = [&](const QJsonObject& node) -> int {
        int count = qint64(node.value(QStringLiteral("pid")).toDouble()) == pid ? 1 : 0;
        for (const char* key : {"nodes", "floating_nodes"}) {
            for (const QJsonValue& child : node.value(QLatin1String(key)).toArray()) {
                count += walk(child.toObject());
            }
        }
        return count;
    };
    return walk(tree.object());
}

using quillory::test::speakIntoPipeMicrophone;
using quillory::test::wavSamples;

struct TargetKind {
    const char* name;
    std::function<std::unique_ptr<quillory::test::WaylandTarget>()> make;
};
void PrintTo(const TargetKind& kind, std::ostream* os) {
    *os << kind.name;
}

class WaylandAppDictation : public ::testing::TestWithParam<TargetKind> {
protected:
    void SetUp() override {
        ASSERT_TRUE(dir_.isValid());
        env_ = QProcessEnvironment::systemEnvironment();
        env_.insert(QStringLiteral("QUILLORY_APP_SOCKET"), dir_.path() + QStringLiteral("/run/app.socket"));
        env_.insert(QStringLiteral("XDG_CONFIG_HOME"), dir_.path() + QStringLiteral("/config"));
        env_.insert(QStringLiteral("XDG_DATA_HOME"), dir_.path() + QStringLiteral("/data"));
        env_.insert(QStringLiteral("QUILLORY_LANGUAGE"), QStringLiteral("en"));
        env_.insert(QStringLiteral("QUILLORY_WHISPER_THREADS"), QStringLiteral("1"));
    }
    void TearDown() override {
        if (app_.state() != QProcess::NotRunning) {
            app_.terminate();
            if (!app_.waitForFinished(10000)) {
                app_.kill();
                app_.waitForFinished(3000);
            }
        }
    }
    CommandRun quillory(const QStringList& args) { return run(QStringLiteral(QUILLORY_EXECUTABLE), args, env_); }
    /// What the app logged so far.
    QByteArray appLog() {
        QFile log(dir_.path() + QStringLiteral("/app.log"));
        return log.open(QIODevice::ReadOnly) ? log.readAll() : QByteArray();
    }
    /// The strip is on screen as a layer surface: the compositor configured it (the app logs that
    /// once it has), and the app has no window on screen, neither in sway's tree nor on XWayland.
    bool overlayIsALayerSurface() {
        return appLog().contains("overlay: quillory.inputStatusPanel shown as a layer-shell surface");
    }
    bool appHasAWindow() { return x11WindowShown() || (onSway() && swayWindowsOf(app_.processId()) > 0); }
    QString status() { return QString::fromUtf8(quillory({"status"}).out).trimmed(); }

    QTemporaryDir dir_;
    QProcessEnvironment env_;
    QProcess app_;
};

TEST_P(WaylandAppDictation, PushToTalkPastesOnceIntoTheFocusedFieldWhichKeepsTheKeyboard) {
    const QString model = qEnvironmentVariable("QUILLORY_TEST_WHISPER_MODEL");
    const QString vad = qEnvironmentVariable("QUILLORY_TEST_WHISPER_VAD_MODEL");
    const QString sentence = qEnvironmentVariable("QUILLORY_TEST_WHISPER_SENTENCE");
    if (model.isEmpty() || vad.isEmpty() || sentence.isEmpty() || qEnvironmentVariableIsEmpty("QUILLORY_TEST_PIPE_SOURCE")) {
        GTEST_SKIP() << "the tiny speech model or the pipe microphone is not set up (scripts/run-tests.sh sets them)";
    }
    const QString models = dir_.path() + QStringLiteral("/data/quillory/SpeechModels");
    ASSERT_TRUE(QDir().mkpath(models));
    ASSERT_TRUE(QFile::link(model, models + QStringLiteral("/ggml-kotoba-whisper-v2.0-q5_0.bin")));
    ASSERT_TRUE(QFile::link(vad, models + QStringLiteral("/ggml-silero-v5.1.2.bin")));
    std::vector<float> audio = wavSamples(QStringLiteral(QUILLORY_FIXTURES "/speech/plain.wav"));
    ASSERT_GT(audio.size(), 16000u);
    audio.insert(audio.end(), 16000, 0.0f); // a second of silence after the sentence

    // The app first (nothing opens by itself: no settings window, no notice about the missing tray),
    // its virtual keyboard on the seat, then the field that takes the keyboard.
    ASSERT_EQ(quillory({"settings", "set", "quillory.firstLaunch.settingsOpened", "true", "--bool"}).exitCode, 0);
    ASSERT_EQ(quillory({"settings", "set", "quillory.firstLaunch.noTrayNoticeShown", "true", "--bool"}).exitCode, 0);
    const int keyboardsBefore = onSway() ? seatKeyboards() : 0;
    app_.setProcessEnvironment(env_);
    app_.setProcessChannelMode(QProcess::MergedChannels);
    app_.setStandardOutputFile(dir_.path() + QStringLiteral("/app.log"));
    app_.start(QStringLiteral(QUILLORY_EXECUTABLE), {});
    ASSERT_TRUE(app_.waitForStarted(kWaitMs));
    ASSERT_TRUE(waitFor([&] { return status() == QLatin1String("idle"); })) << "the app never answered";
    if (onSway()) {
        ASSERT_TRUE(waitFor([&] { return seatKeyboards() > keyboardsBefore; })) << "the app plugged no virtual keyboard in";
    }
    auto target = GetParam().make();
    ASSERT_TRUE(target->waitReady()) << "the field never got the keyboard:\n" << target->transcript();
    if (onSway()) {
        ASSERT_TRUE(waitFor([&] { return focusedPid() == target->pid(); })) << "sway focuses " << focusedPid();
    }
    const QByteArray users = QStringLiteral("ユーザーの大事なクリップボード").toUtf8();
    ASSERT_EQ(run(QStringLiteral("wl-copy"), {QString::fromUtf8(users)}).exitCode, 0);
    // Doctor names the overlay's path: both compositors advertise layer-shell.
    const QJsonObject paths =
        QJsonDocument::fromJson(quillory({"doctor", "--json"}).out).object().value(QStringLiteral("paths")).toObject();
    EXPECT_EQ(paths.value(QStringLiteral("overlay")).toString(), QStringLiteral("layer-shell"));
    const QByteArray withoutOverlay = onSway() ? settledStripPixels() : QByteArray();
    if (onSway()) {
        ASSERT_FALSE(withoutOverlay.isEmpty()) << "grim read nothing from sway";
    }

    // While recording the overlay shows as a layer surface, never a window, and the field keeps
    // the keyboard.
    const CommandRun press = quillory({"press"});
    ASSERT_EQ(press.exitCode, 0) << press.err.toStdString();
    ASSERT_TRUE(waitFor([&] { return status() == QLatin1String("recording") && overlayIsALayerSurface(); }))
        << "status " << status().toStdString() << ", the app's log:\n" << appLog().toStdString();
    EXPECT_FALSE(appHasAWindow()) << "the overlay is a window";
    if (onSway()) {
        // The compositor draws the strip where the window was placed.
        double share = 0;
        EXPECT_TRUE(waitFor([&] { return (share = differingShare(swayStripPixels(), withoutOverlay)) > 0.3; }))
            << "sway shows nothing at the strip's place (" << share << " of it changed)";
    }
    ASSERT_TRUE(speakIntoPipeMicrophone(audio)) << "the pipe microphone did not take the audio";
    EXPECT_FALSE(appHasAWindow()) << "the overlay became a window while it updated";
    if (onSway()) {
        EXPECT_EQ(focusedPid(), target->pid()) << "sway moved the focus while recording";
    }
    EXPECT_EQ(target->focusLosses(), 0) << "the field lost the keyboard while recording:\n" << target->transcript();

    // Processing, the paste, and back to idle: the focus stays with the field throughout.
    const CommandRun release = quillory({"release"});
    ASSERT_EQ(release.exitCode, 0) << release.err.toStdString();
    bool focusMoved = false;
    bool windowShown = false;
    EXPECT_TRUE(waitFor([&] {
        focusMoved = focusMoved || (onSway() && focusedPid() != target->pid());
        windowShown = windowShown || appHasAWindow();
        return status() == QLatin1String("idle");
    })) << status().toStdString();
    EXPECT_FALSE(focusMoved) << "sway moved the focus while processing";
    EXPECT_FALSE(windowShown) << "the overlay was a window while processing";
    EXPECT_TRUE(waitFor([&] { return target->text() == sentence; }))
        << "arrived: \"" << target->text().toStdString() << "\"\n" << target->transcript();
    // The user's clipboard comes back.
    EXPECT_TRUE(waitFor([&] { return wlPaste() == users; })) << "the clipboard holds: " << wlPaste().toStdString();

    // Exactly once, and the keyboard never left the field.
    QElapsedTimer settle;
    settle.start();
    (void)waitFor([&] { return settle.elapsed() > 1500; });
    EXPECT_EQ(target->text(), sentence) << target->transcript();
    EXPECT_EQ(target->focusLosses(), 0) << "the field lost the keyboard:\n" << target->transcript();
    if (onSway()) {
        EXPECT_EQ(focusedPid(), target->pid());
    }
    EXPECT_FALSE(appHasAWindow());
    if (onSway()) {
        double share = 0;
        EXPECT_TRUE(waitFor([&] { return (share = differingShare(swayStripPixels(), withoutOverlay)) < 0.02; }))
            << "the strip stays on screen after the paste (" << share << " of its place differs)";
    }
}

INSTANTIATE_TEST_SUITE_P(
    Targets, WaylandAppDictation,
    ::testing::Values(
        TargetKind{"gtk3",
                   [] {
                       return std::make_unique<quillory::test::WaylandTarget>(
                           QStringLiteral("/usr/bin/python3"),
                           QStringList{QStringLiteral(QUILLORY_REAL_TARGET_SCRIPT), QStringLiteral("gtk3")},
                           QStringList{QStringLiteral("GDK_BACKEND=wayland")});
                   }},
        TargetKind{"qt",
                   [] {
                       return std::make_unique<quillory::test::WaylandTarget>(
                           QStringLiteral(QUILLORY_INPUT_TARGET_WINDOW),
                           QStringList{QStringLiteral("-platform"), QStringLiteral("wayland")}, QStringList{});
                   }}),
    [](const ::testing::TestParamInfo<TargetKind>& info) { return std::string(info.param.name); });

} // namespace

// Runs only inside scripts/wayland-session.sh or scripts/kwin-session.sh (it takes over the
// compositor's clipboard).
int main(int argc, char** argv) {
    if (qEnvironmentVariableIsEmpty("QUILLORY_DESKTOP_SESSION") || qEnvironmentVariableIsEmpty("WAYLAND_DISPLAY") ||
        (qEnvironmentVariableIsEmpty("SWAYSOCK") && qgetenv("XDG_CURRENT_DESKTOP") != "KDE")) {
        std::fprintf(stderr, "Wayland desktop tests run inside scripts/wayland-session.sh or scripts/kwin-session.sh\n");
        return 2;
    }
    QCoreApplication app(argc, argv);
    ::testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
