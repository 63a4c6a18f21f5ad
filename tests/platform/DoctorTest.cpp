// The doctor's checks over probe results, its two output forms, and the command without a desktop.
#include "Cli/Cli.h"
#include "Hotkey/ModifierKeyMap.h"
#include "Platform/SystemDoctor.h"
#include "Runtime/Localization.h"
#include "support/CoreTest.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>

using namespace quillory;
using namespace quillory::Doctor;

namespace {
/// A healthy X11 desktop.
ProbeResults healthy() {
    ProbeResults r;
    r.session = PermissionProbes::Session::x11;
    r.displayDescription = "X11 :0";
    r.sessionType = "x11";
    r.xConnected = true;
    r.xinput2 = true;
    r.xtest = true;
    r.accessibilityBusReachable = true;
    r.accessibilityBusDetail = "unix:path=/run/user/1000/at-spi/bus";
    r.audioServerReachable = true;
    r.audioServer = "PulseAudio (on PipeWire 1.0.5) 15.0.0";
    r.captureSources = {"alsa_input.pci-0000_00_1f.3.analog-stereo"};
    r.defaultSource = "alsa_input.pci-0000_00_1f.3.analog-stereo";
    r.hotkeyRegistered = true;
    r.speechCpuVariant = "haswell";
    r.speechCpuDetail = "/usr/lib/quillory/whisper/libggml-cpu-haswell.so";
    r.speechDevice = "CPU";
    r.speechDeviceReason = "no Vulkan GPU: Vulkan lists no GPU";
    r.speechDevicePreference = "auto";
    r.runtimeExecutable = "/usr/libexec/quillory/llama-server";
    r.selectedModel = "gemma";
    return r;
}

const Check& find(const QList<Check>& checks, const QString& id) {
    static const Check none{"none", Level::fail, {}, {}, {}};
    for (const Check& c : checks) {
        if (c.id == id) {
            return c;
        }
    }
    ADD_FAILURE() << "no check " << id.toStdString();
    return none;
}
} // namespace

TEST(DoctorChecks, AHealthyDesktopIsAllOkInAFixedOrder) {
    const auto checks = evaluate(healthy());
    QStringList ids;
    for (const Check& c : checks) {
        ids << c.id;
        EXPECT_EQ(c.level, Level::ok) << c.id.toStdString() << ": " << c.detail.toStdString();
        EXPECT_TRUE(c.advice.isEmpty());
    }
    EXPECT_EQ(ids, (QStringList{"display", "xinput2", "xtest", "atspi", "audio-server", "microphone",
                                "speech-runtime", "speech-device", "hotkey", "llama-runtime", "models",
                                "autostart"}));
    EXPECT_EQ(exitStatus(checks), 0);
}

TEST(DoctorChecks, TheRecognitionDeviceLineSaysWhichDeviceAndWhy) {
    ProbeResults r = healthy();
    EXPECT_EQ(find(evaluate(r), "speech-device").detail, "CPU: no Vulkan GPU: Vulkan lists no GPU");

    r.speechOnGpu = true;
    r.speechDevice = "Vulkan0: AMD Radeon Graphics (RADV RENOIR) (2048 MiB)";
    r.speechDeviceReason = "it computed the check right";
    EXPECT_EQ(find(evaluate(r), "speech-device").level, Level::ok);
    EXPECT_EQ(find(evaluate(r), "speech-device").detail,
              "Vulkan0: AMD Radeon Graphics (RADV RENOIR) (2048 MiB): it computed the check right");

    // The GPU asked for and not to be had: a warning, recognition still works.
    r = healthy();
    r.speechDevicePreference = "gpu";
    const Check check = find(evaluate(r), "speech-device");
    EXPECT_EQ(check.level, Level::warn);
    EXPECT_TRUE(check.advice.contains("quillory.speech.device")) << check.advice.toStdString();
    EXPECT_EQ(exitStatus(evaluate(r)), 0);
}

TEST(DoctorChecks, NoDisplayFailsWithAdviceAndXLinesAreNotChecked) {
    ProbeResults r = healthy();
    r.session = PermissionProbes::Session::none;
    r.displayDescription = "none";
    r.xConnected = false;
    r.xinput2.reset();
    r.xtest.reset();
    const auto checks = evaluate(r);
    EXPECT_EQ(find(checks, "display").level, Level::fail);
    EXPECT_TRUE(find(checks, "display").advice.contains("DISPLAY"));
    EXPECT_EQ(find(checks, "xinput2").level, Level::warn);
    EXPECT_EQ(exitStatus(checks), 1);

    // DISPLAY set, but the server refuses us.
    r.session = PermissionProbes::Session::x11;
    EXPECT_EQ(find(evaluate(r), "display").level, Level::fail);
}

TEST(DoctorChecks, MissingExtensionsAndWaylandPaths) {
    ProbeResults r = healthy();
    r.xinput2 = false;
    EXPECT_EQ(find(evaluate(r), "xinput2").level, Level::fail);

    // Wayland with XWayland (sway, a writable /dev/uinput, no protocol backends in the build): the
    // X lines are gone (XTest there reaches X11 windows only), the chosen paths are shown, and the
    // advice is this desktop's fix, not the input group.
    r = healthy();
    r.waylandSession = true;
    DesktopFacts sway;
    sway.session = DesktopFacts::Session::wayland;
    sway.currentDesktops = {"sway"};
    sway.xDisplay = sway.xtest = sway.xinput2 = true;
    sway.uinputWritable = true;
    sway.waylandGlobals = {{"zwp_virtual_keyboard_manager_v1", 1}, {"zwlr_data_control_manager_v1", 2}};
    BuiltBackends uinputOnly;
    uinputOnly.uinput = true;
    r.backends = chooseDesktopBackends(sway, uinputOnly);
    auto checks = evaluate(r);
    for (const Check& c : checks) {
        EXPECT_NE(c.id, "xinput2");
        EXPECT_NE(c.id, "xtest");
        EXPECT_FALSE(c.advice.contains("usermod")) << c.id.toStdString();
    }
    EXPECT_EQ(find(checks, "paste-path").level, Level::fail);
    EXPECT_TRUE(find(checks, "paste-path").detail.startsWith("none")) << find(checks, "paste-path").detail.toStdString();
    EXPECT_EQ(find(checks, "paste-path").advice, L("desktop.fix.wlroots_protocols"));
    EXPECT_EQ(find(checks, "hotkey-path").level, Level::warn);
    EXPECT_EQ(find(checks, "hotkey-path").advice, L("desktop.fix.hotkeys.sway"));
    EXPECT_EQ(exitStatus(checks), 1);

    // The same desktop with every backend: all paths work.
    r.backends = chooseDesktopBackends(sway, BuiltBackends::all());
    checks = evaluate(r);
    EXPECT_EQ(find(checks, "paste-path").level, Level::ok);
    EXPECT_TRUE(find(checks, "paste-path").detail.startsWith("virtual-keyboard"));
    EXPECT_EQ(find(checks, "clipboard-path").level, Level::ok);
    EXPECT_EQ(formatPaths(*r.backends),
              "Paths (sway): paste=virtual-keyboard clipboard=data-control hotkeys=none overlay=xwayland-window\n");
    const QJsonObject json = QJsonDocument::fromJson(formatJson(checks, r.backends)).object();
    const QJsonObject paths = json["paths"].toObject();
    EXPECT_EQ(paths["desktop"].toString(), "sway");
    EXPECT_EQ(paths["paste"].toString(), "virtual-keyboard");
    EXPECT_EQ(paths["clipboard"].toString(), "data-control");
    EXPECT_EQ(paths["hotkeys"].toString(), "none");
    EXPECT_EQ(json["pathDetails"].toObject()["hotkeys"].toObject()["fix"].toString(), L("desktop.fix.hotkeys.sway"));
    // Without paths the JSON keeps its old shape.
    EXPECT_FALSE(QJsonDocument::fromJson(formatJson(checks)).object().contains("paths"));
}

TEST(DoctorChecks, SoundServerAndMicrophone) {
    ProbeResults r = healthy();
    r.audioServerReachable = false;
    r.audioError = "Connection refused";
    auto checks = evaluate(r);
    EXPECT_EQ(find(checks, "audio-server").level, Level::fail);
    EXPECT_TRUE(find(checks, "audio-server").detail.contains("Connection refused"));
    EXPECT_EQ(find(checks, "microphone").level, Level::warn);

    r = healthy();
    r.captureSources.clear();
    EXPECT_EQ(find(evaluate(r), "microphone").level, Level::fail);

    r = healthy();
    r.defaultSource = "alsa_output.monitor";
    r.defaultSourceIsMonitor = true;
    const Check mic = find(evaluate(r), "microphone");
    EXPECT_EQ(mic.level, Level::warn);
    EXPECT_TRUE(mic.advice.contains("pactl set-default-source alsa_input.pci-0000_00_1f.3.analog-stereo"));
}

TEST(DoctorChecks, HotkeysPolishingAndAutostart) {
    ProbeResults r = healthy();
    r.hotkeyRegistered.reset();
    EXPECT_EQ(find(evaluate(r), "hotkey").level, Level::warn);
    EXPECT_TRUE(find(evaluate(r), "hotkey").detail.startsWith("not checked"));
    r.hotkeyRegistered = false;
    EXPECT_EQ(find(evaluate(r), "hotkey").level, Level::fail);

    // No CPU variant for speech: recognition cannot run, whatever else is set.
    r = healthy();
    r.speechCpuVariant.clear();
    r.speechCpuDetail = "no CPU backend (libggml-cpu-*.so) in /usr/lib/quillory/whisper";
    EXPECT_EQ(find(evaluate(r), "speech-runtime").level, Level::fail);
    EXPECT_EQ(find(evaluate(r), "speech-runtime").detail, r.speechCpuDetail);

    // A missing runtime matters only while polishing is on.
    r = healthy();
    r.runtimeExecutable.clear();
    EXPECT_EQ(find(evaluate(r), "llama-runtime").level, Level::warn);
    r.polishEnabled = true;
    EXPECT_EQ(find(evaluate(r), "llama-runtime").level, Level::fail);
    r.hostSupportsRuntime = false;
    EXPECT_EQ(find(evaluate(r), "llama-runtime").level, Level::warn);

    r = healthy();
    r.polishEnabled = true;
    const Check models = find(evaluate(r), "models");
    EXPECT_EQ(models.level, Level::warn);
    EXPECT_TRUE(models.advice.contains("quillory models download gemma"));

    r = healthy();
    r.autostart.status = LoginItemStatus::enabled;
    r.autostart.path = "/home/u/.config/autostart/quillory.desktop";
    r.autostart.program = "/old/build/quillory";
    r.autostartProgramRuns = false;
    const Check autostart = find(evaluate(r), "autostart");
    EXPECT_EQ(autostart.level, Level::warn);
    EXPECT_TRUE(autostart.detail.contains("/old/build/quillory"));
}

TEST(DoctorOutput, TextLinesCarryAdviceOnlyWhenNotOk) {
    const QList<Check> checks{{"display", Level::ok, "Display server", "X11 :0 (x11)", "unused"},
                              {"hotkey", Level::warn, "Shortcut registration", "not checked", "run it"},
                              {"audio-server", Level::fail, "Sound server", "not reachable", "start it"}};
    EXPECT_EQ(formatText(checks), QStringLiteral("OK    Display server: X11 :0 (x11)\n"
                                                 "WARN  Shortcut registration: not checked \u2014 run it\n"
                                                 "FAIL  Sound server: not reachable \u2014 start it\n"));
    // The JSON form is stable: keys sorted, counts at the top level.
    EXPECT_EQ(
        QJsonDocument::fromJson(formatJson(checks)).toJson(QJsonDocument::Compact),
        QByteArray(R"j({"checks":[{"advice":"unused","detail":"X11 :0 (x11)","id":"display","status":"OK",)j"
                   R"j("title":"Display server"},{"advice":"run it","detail":"not checked","id":"hotkey",)j"
                   R"j("status":"WARN","title":"Shortcut registration"},{"advice":"start it","detail":)j"
                   R"j("not reachable","id":"audio-server","status":"FAIL","title":"Sound server"}],)j"
                   R"j("failures":1,"warnings":1})j"));
}

TEST(DoctorHotkeys, DescribesTheStoredConfigurationByItsPhysicalKeys) {
    const ModifierKeyMap keys = ModifierKeyMap::defaults();
    EXPECT_EQ(describeHotkeys(HotkeyConfig::factoryDefaults(), keys),
              "toggle: Right Ctrl twice; push-to-talk: Right Shift + Right Ctrl");
    HotkeyConfig c;
    c.toggleShortcutEnabled = false;
    c.modifierChordFnOption = true;
    EXPECT_EQ(describeHotkeys(c, keys),
              "toggle: off; push-to-talk: Right Shift + Right Ctrl, Right Shift + Left Alt / Right Alt");

    // A changed map is what the line names.
    ModifierKeyMap mine = keys;
    mine.rightCommand = {66}; // Caps Lock
    mine.fn = {37};           // Left Ctrl
    EXPECT_EQ(describeHotkeys(HotkeyConfig::factoryDefaults(), mine),
              "toggle: Caps Lock twice; push-to-talk: Left Ctrl + Caps Lock");
}

namespace {
/// The real command in a process without any desktop: no display, no buses, no sound server.
class DoctorCommandTest : public quillory::testing::CoreTest {
protected:
    void SetUp() override {
        CoreTest::SetUp();
        for (const char* name : {"DISPLAY", "WAYLAND_DISPLAY", "XDG_SESSION_TYPE", "DBUS_SESSION_BUS_ADDRESS",
                                 "AT_SPI_BUS_ADDRESS"}) {
            saved_.insert(name, qgetenv(name));
            qunsetenv(name);
        }
        saved_.insert("PULSE_SERVER", qgetenv("PULSE_SERVER"));
        qputenv("PULSE_SERVER", ("unix:" + path("no-such-socket")).toUtf8());
    }
    void TearDown() override {
        for (auto it = saved_.begin(); it != saved_.end(); ++it) {
            it.value().isNull() ? qunsetenv(it.key().toLatin1()) : qputenv(it.key().toLatin1(), it.value());
        }
        CoreTest::TearDown();
    }
    int run(const QStringList& args, QString& out, QString& err) {
        QTextStream o(&out);
        QTextStream e(&err);
        cli::Io io{o, e};
        const int status = cli::run(args, io);
        o.flush();
        e.flush();
        return status;
    }
    QMap<QString, QByteArray> saved_;
};
} // namespace

TEST_F(DoctorCommandTest, WithoutADesktopItFailsWithAdviceInsteadOfCrashing) {
    QString out;
    QString err;
    EXPECT_EQ(run({"doctor"}, out, err), cli::Failure);
    EXPECT_TRUE(out.startsWith("FAIL  Display server: none")) << out.toStdString();
    EXPECT_TRUE(out.contains("FAIL  Sound server (PulseAudio/PipeWire): not reachable")) << out.toStdString();
    EXPECT_TRUE(out.contains("OK    Launch at login: off"));
    EXPECT_TRUE(out.endsWith("Paths (other): paste=none clipboard=none hotkeys=none overlay=none\n"))
        << out.toStdString();

    out.clear();
    EXPECT_EQ(run({"doctor", "--json"}, out, err), cli::Failure);
    const QJsonObject root = QJsonDocument::fromJson(out.toUtf8()).object();
    EXPECT_GE(root.value("failures").toInt(), 2);
    const QJsonObject first = root.value("checks").toArray().first().toObject();
    EXPECT_EQ(first.value("id").toString(), "display");
    EXPECT_EQ(first.value("status").toString(), "FAIL");
    EXPECT_FALSE(first.value("advice").toString().isEmpty());
    EXPECT_EQ(root.value("paths").toObject().value("paste").toString(), "none");
    // Which device recognition uses, and why.
    bool device = false;
    for (const QJsonValue& check : root.value("checks").toArray()) {
        if (check.toObject().value("id").toString() == "speech-device") {
            device = true;
            EXPECT_FALSE(check.toObject().value("detail").toString().isEmpty());
        }
    }
    EXPECT_TRUE(device) << out.toStdString();

    EXPECT_EQ(run({"doctor", "--verbose"}, out, err), cli::Usage);
}

TEST(DoctorChecks, AConfiguredRecognitionServerIsCheckedAfterTheMicrophone) {
    ProbeResults r = healthy();
    r.speechServer = ProbeResults::SpeechServer{QStringLiteral("http://127.0.0.1:8080"),
                                                QStringLiteral("whisper-server /inference"), {}, true, 240, {}};
    auto checks = evaluate(r);
    QStringList ids;
    for (const Check& c : checks) {
        ids << c.id;
    }
    EXPECT_EQ(ids.indexOf("speech-server"), ids.indexOf("microphone") + 1);
    EXPECT_EQ(find(checks, "speech-server").level, Level::ok);
    EXPECT_TRUE(find(checks, "speech-server").detail.contains(QStringLiteral("240 ms")));

    // Down: dictation still works (on this computer), so a warning that says so.
    r.speechServer->answered = false;
    r.speechServer->error = QStringLiteral("127.0.0.1: Connection refused");
    checks = evaluate(r);
    EXPECT_EQ(find(checks, "speech-server").level, Level::warn);
    EXPECT_TRUE(find(checks, "speech-server").detail.contains(QStringLiteral("Connection refused")));
    EXPECT_TRUE(find(checks, "speech-server").advice.contains(QStringLiteral("falls back")));
    EXPECT_EQ(exitStatus(checks), 0);

    // An address the rules refuse is never asked: a failure with the fix.
    r.speechServer->addressProblem = QStringLiteral("use https://");
    checks = evaluate(r);
    EXPECT_EQ(find(checks, "speech-server").level, Level::fail);
    EXPECT_NE(exitStatus(checks), 0);
}

TEST(DoctorChecks, AConfiguredPolishServerIsCheckedWithItsOwnKeys) {
    ProbeResults r = healthy();
    for (const Check& c : evaluate(r)) {
        EXPECT_NE(c.id, QStringLiteral("polish-server")) << "no server, no line";
    }
    r.polishServer = ProbeResults::SpeechServer{QStringLiteral("http://127.0.0.1:8081"),
                                                QStringLiteral("llama-server /completion"), {}, true, 900, {}};
    auto checks = evaluate(r);
    EXPECT_EQ(find(checks, "polish-server").level, Level::ok);
    EXPECT_TRUE(find(checks, "polish-server").detail.contains(QStringLiteral("900 ms")));
    r.polishServer->answered = false;
    r.polishServer->error = QStringLiteral("127.0.0.1 did not answer within 20 s");
    checks = evaluate(r);
    EXPECT_EQ(find(checks, "polish-server").level, Level::warn);
    EXPECT_TRUE(find(checks, "polish-server").advice.contains(QStringLiteral("unpolished")));
    EXPECT_TRUE(find(checks, "polish-server").advice.contains(QStringLiteral("quillory.polish.server.url")));
    EXPECT_EQ(exitStatus(checks), 0);
    r.polishServer->addressProblem = QStringLiteral("use https://");
    checks = evaluate(r);
    EXPECT_EQ(find(checks, "polish-server").level, Level::fail);
}
