// Machine facts read from a fake system tree, and the settings links per desktop.
#include "Permissions/Authorizations.h"
#include "Permissions/RuntimeEnvironmentStatus.h"
#include "Permissions/SystemSettingsLink.h"
#include "Runtime/Localization.h"

#include <QDir>
#include <QFile>
#include <QTemporaryDir>

#include <gtest/gtest.h>

using namespace quillory;
using Env = RuntimeEnvironmentStatus;
using namespace quillory::SystemSettingsLink;

namespace {
const QString kDash = QStringLiteral("\u2014");

class EnvironmentTest : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(root_.isValid());
        Env::Sources s;
        s.root = root_.path();
        previous_ = Env::setSources(s);
    }
    void TearDown() override { Env::setSources(previous_); }
    void write(const QString& relative, const QByteArray& data) {
        const QString path = root_.filePath(relative);
        QDir().mkpath(QFileInfo(path).path());
        QFile f(path);
        ASSERT_TRUE(f.open(QIODevice::WriteOnly));
        f.write(data);
    }
    QTemporaryDir root_;
    Env::Sources previous_;
};
} // namespace

TEST_F(EnvironmentTest, ValuesWithoutALinuxMeaningAreUnknownAndNeverBlock) {
    EXPECT_EQ(Env::systemKeyboardDictationStatus(), Env::DictationStatus::unknown);
    EXPECT_EQ(SystemRuntimeEnvironmentStatus().keyboardDictationStatus(), Env::DictationStatus::unknown);
    EXPECT_EQ(Env::siriDictationImprovementStatus(), Env::SiriImprovementOptInStatus::unknown);
    EXPECT_TRUE(Env::meetsMinimumOperatingSystem());
    EXPECT_TRUE(Env::operatingSystemVersionString().contains("kernel"));
}

TEST(EnvironmentOfThisMachine, ProcFilesAreReadToTheEnd) {
    // /proc files report a size of 0: the reader must not trust it.
    QFile cpuinfo("/proc/cpuinfo");
    if (cpuinfo.open(QIODevice::ReadOnly) && cpuinfo.readAll().contains("model name")) {
        EXPECT_NE(Env::cpuBrandString(), kDash);
    }
}

TEST_F(EnvironmentTest, ProcessorAndModelFromTheSystemFiles) {
    // Nothing readable: dashes.
    EXPECT_EQ(Env::cpuBrandString(), kDash);
    EXPECT_EQ(Env::hardwareModelIdentifier(), kDash);

    write("proc/cpuinfo",
          "processor\t: 0\nvendor_id\t: GenuineIntel\nmodel name\t: Intel(R) Core(TM) i5-8250U "
          "CPU @ 1.60GHz  \nprocessor\t: 1\nmodel name\t: other\n");
    EXPECT_EQ(Env::cpuBrandString(), "Intel(R) Core(TM) i5-8250U CPU @ 1.60GHz");

    // A brand made only of blanks is no value; ARM boards name the SoC under "Hardware".
    EXPECT_EQ(Env::cpuBrandFromCpuinfo("model name\t:    \n"), kDash);
    EXPECT_EQ(Env::cpuBrandFromCpuinfo("model name\t:  \nHardware\t: BCM2835\n"), "BCM2835");

    // No DMI (most aarch64 boards): the device tree's NUL-terminated model.
    write("proc/device-tree/model", QByteArray("Raspberry Pi 4 Model B Rev 1.4\0", 31));
    EXPECT_EQ(Env::hardwareModelIdentifier(), "Raspberry Pi 4 Model B Rev 1.4");
    write("sys/devices/virtual/dmi/id/product_name", "ThinkPad X1 Carbon Gen 9\n");
    EXPECT_EQ(Env::hardwareModelIdentifier(), "ThinkPad X1 Carbon Gen 9");
    write("sys/devices/virtual/dmi/id/product_name", " \n");
    EXPECT_EQ(Env::hardwareModelIdentifier(), "Raspberry Pi 4 Model B Rev 1.4");

    EXPECT_EQ(Env::systemValueOrDash(QByteArray("\0garbage", 8)), kDash);
}

TEST_F(EnvironmentTest, MemoryAndCaptureDeviceThroughTheirQueries) {
    EXPECT_NE(Env::physicalMemoryDescription(), kDash); // the real machine
    Env::Sources s = Env::sources();
    s.physicalMemoryBytes = [] { return qint64(16) << 30; };
    Env::setSources(s);
    EXPECT_EQ(Env::physicalMemoryDescription(), "16 GB"); // binary units, as the settings show memory
    s.physicalMemoryBytes = [] { return qint64(0); };
    Env::setSources(s);
    EXPECT_EQ(Env::physicalMemoryDescription(), kDash);

    // No audio backend wired: no device; the backend's answer once it is.
    EXPECT_FALSE(Env::hasAudioCaptureDevice());
    Env::setAudioCaptureDeviceQuery([] { return true; });
    EXPECT_TRUE(Env::hasAudioCaptureDevice());
}

TEST(SystemSettingsLinks, DesktopPanelsWhereTheyExistElseHelp) {
    EXPECT_EQ(desktopFrom("ubuntu:GNOME"), Desktop::gnome);
    EXPECT_EQ(desktopFrom("KDE"), Desktop::kde);
    EXPECT_EQ(desktopFrom("XFCE"), Desktop::other);
    EXPECT_EQ(desktopFrom(""), Desktop::other);

    QStringList installed{"gnome-control-center", "systemsettings5"};
    const auto exists = [&](const QString& p) { return installed.contains(p); };

    const Target gnomeSound = target(Link::soundInput, Desktop::gnome, exists);
    EXPECT_EQ(gnomeSound.program, "gnome-control-center");
    EXPECT_EQ(gnomeSound.arguments, QStringList{"sound"});
    // Plasma 5's program when Plasma 6's is absent.
    const Target kdeMic = target(Link::microphone, Desktop::kde, exists);
    EXPECT_EQ(kdeMic.program, "systemsettings5");
    EXPECT_EQ(kdeMic.arguments, QStringList{"kcm_pulseaudio"});
    installed << "systemsettings";
    EXPECT_EQ(target(Link::microphone, Desktop::kde, exists).program, "systemsettings");

    // Key monitoring has no panel anywhere: only the help text, which names no fix of its own
    // (joining the input group does not help on every desktop); the doctor names the paths.
    for (const Desktop d : {Desktop::gnome, Desktop::kde, Desktop::other}) {
        const Target t = target(Link::inputMonitoring, d, exists);
        EXPECT_FALSE(t.hasProgram());
        EXPECT_TRUE(Localization::text(t.helpKey).contains("quillory doctor"));
        EXPECT_FALSE(Localization::text(t.helpKey).contains("-aG input"));
    }
    // A desktop whose settings program is not installed falls back to help too.
    installed.clear();
    EXPECT_FALSE(target(Link::soundInput, Desktop::gnome, exists).hasProgram());
}

TEST(SystemSettingsLinks, UnderWaylandTheHelpEndsWithThisDesktopsFix) {
    DesktopFacts gnome;
    gnome.session = DesktopFacts::Session::wayland;
    gnome.currentDesktops = {"GNOME"};
    gnome.xDisplay = gnome.xtest = gnome.xinput2 = true;
    BuiltBackends uinputOnly;
    uinputOnly.uinput = true;
    PermissionProbes probes;
    probes.session = [] { return PermissionProbes::Session::wayland; };
    probes.desktopBackends = [&] { return std::optional(chooseDesktopBackends(gnome, uinputOnly)); };
    const PermissionProbes previous = PermissionProbes::install(probes);
    Localization::setLanguage(Localization::Language::English);
    EXPECT_EQ(helpText(Link::accessibility),
              L("settings.help.accessibility") + " " + L("desktop.fix.paste.uinput"));
    EXPECT_EQ(helpText(Link::inputMonitoring),
              L("settings.help.input_monitoring") + " " + L("desktop.fix.hotkeys.gnome"));
    // A path that works: the help alone.
    gnome.uinputWritable = true;
    EXPECT_EQ(helpText(Link::accessibility), L("settings.help.accessibility"));
    PermissionProbes::install(previous);
    Localization::resetLanguage();
}

TEST(SystemSettingsLinks, EveryHelpTextExistsInBothLanguages) {
    for (const Link l : {Link::microphone, Link::speechRecognition, Link::inputMonitoring, Link::soundInput,
                         Link::dictationLanguages, Link::analyticsAndImprovement, Link::accessibility}) {
        const char* key = target(l, Desktop::other, {}).helpKey;
        ASSERT_TRUE(Localization::hasKey(key)) << key;
        Localization::setLanguage(Localization::Language::Japanese);
        const QString ja = helpText(l);
        Localization::setLanguage(Localization::Language::English);
        EXPECT_NE(ja, helpText(l)) << key;
    }
    Localization::resetLanguage();
}

TEST(SystemSettingsLinks, OpeningGoesThroughTheInstalledOpener) {
    QStringList launched;
    QList<QUrl> opened;
    const Opener previous = setOpener({[&](const QString& program, const QStringList& args) {
                                           launched << program + ' ' + args.join(' ');
                                           return true;
                                       },
                                       [&](const QUrl& url) {
                                           opened << url;
                                           return true;
                                       }});
    // Help-only links open nothing and say so.
    EXPECT_FALSE(open(Link::analyticsAndImprovement));
    EXPECT_TRUE(launched.isEmpty());
    EXPECT_TRUE(openUrl(QUrl::fromLocalFile("/tmp")));
    EXPECT_EQ(opened, QList<QUrl>{QUrl::fromLocalFile("/tmp")});
    setOpener(previous);
    EXPECT_FALSE(openUrl(QUrl::fromLocalFile("/tmp")));
}
