// The real desktop queries inside the private desktop: permissions, sound server, accessibility
// bus, window activation under a window manager, and `quillory doctor` end to end.
#include "Permissions/Authorizations.h"
#include "Permissions/PermissionManager.h"
#include "Permissions/RuntimeEnvironmentStatus.h"
#include "Permissions/linux/LinuxPlatformServices.h"
#include "Permissions/linux/LinuxProbes.h"
#include "Platform/qt/AppActivation.h"
#include "Platform/x11/XDisplay.h"

#include <QApplication>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QLineEdit>
#include <QProcess>
#include <QTest>

#include <gtest/gtest.h>

#include <X11/Xlib.h>

using namespace quillory;

TEST(SystemDesktop, TheX11DesktopGrantsWhatDictationNeeds) {
    platform::installLinuxPlatformServices();
    const auto x = platform::probeXExtensions();
    ASSERT_TRUE(x.connected) << x.error.toStdString();
    EXPECT_TRUE(x.xinput2);
    EXPECT_TRUE(x.xtest);

    const auto manager = platform::makeSystemPermissionManager();
    EXPECT_TRUE(manager->allGranted());
    EXPECT_EQ(InputMonitoringAuthorization::listenEventPermissionState(), PermissionState::authorized);
    EXPECT_TRUE(RuntimeEnvironmentStatus::hasAudioCaptureDevice());
}

TEST(SystemDesktop, OneXDisplayHelperForEveryBackend) {
    QString why;
    const auto display = platform::x11::openDisplay(&why);
    ASSERT_NE(display, nullptr) << why.toStdString();
    int opcode = 0;
    EXPECT_TRUE(platform::x11::hasXInput(display.get(), 2, 2, &opcode));
    EXPECT_GT(opcode, 0);
    EXPECT_FALSE(platform::x11::hasXInput(display.get(), 9, 0));
    // The probe asks for what the hotkey backend needs, not any XInput 2.
    EXPECT_EQ(platform::probeXExtensions().xinput2, platform::x11::hasXInput(display.get(), 2, 2));

    const Window missing = 0x7ffffff0; // no client made it
    XWindowAttributes attributes;
    {
        platform::x11::ErrorTrap outer(display.get());
        {
            platform::x11::ErrorTrap inner(display.get());
            XGetWindowAttributes(display.get(), missing, &attributes);
            EXPECT_EQ(inner.finish(), BadWindow); // recorded, the process lives on
        }
        XGetWindowAttributes(display.get(), missing, &attributes);
        XGetWindowAttributes(display.get(), DefaultRootWindow(display.get()), &attributes);
        EXPECT_EQ(outer.finish(), BadWindow);
    }
    {
        platform::x11::ErrorTrap trap(display.get());
        XGetWindowAttributes(display.get(), DefaultRootWindow(display.get()), &attributes);
        EXPECT_EQ(trap.finish(), 0);
    }
    // Every trap has ended: the handler installed before is back.
    static int others = 0;
    const XErrorHandler mine = [](Display*, XErrorEvent*) { return ++others, 0; };
    const XErrorHandler before = XSetErrorHandler(mine);
    {
        platform::x11::ErrorTrap trap(display.get());
    }
    XGetWindowAttributes(display.get(), missing, &attributes);
    XSync(display.get(), False);
    EXPECT_EQ(others, 1);
    XSetErrorHandler(before);
}

TEST(SystemDesktop, SoundServerAndAccessibilityBusAnswer) {
    const auto pulse = platform::probePulse();
    ASSERT_TRUE(pulse.reachable) << pulse.error.toStdString();
    EXPECT_EQ(pulse.defaultSource, "quillory_test_mic");
    EXPECT_TRUE(pulse.captureSources.contains("quillory_test_mic"));
    EXPECT_FALSE(pulse.monitorSources.contains("quillory_test_mic"));

    const auto bus = platform::probeAccessibilityBus();
    EXPECT_TRUE(bus.reachable) << bus.detail.toStdString();
}

TEST(SystemDesktop, ActivationFocusesTheSettingsWindowUnderTheWindowManager) {
    QLineEdit other;
    other.resize(700, 200); // not settings-sized
    QWidget settings;
    settings.resize(520, 400);
    settings.show();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(&settings));
    other.show();
    other.activateWindow();
    ASSERT_TRUE(QTest::qWaitForWindowActive(&other, 5000));

    AppActivation::bringAppToFrontForPermissions();
    EXPECT_TRUE(QTest::qWaitForWindowActive(&settings, 5000));
    EXPECT_EQ(AppActivation::activationPolicy(), AppActivation::ActivationPolicy::regular);
}

TEST(SystemDesktop, DoctorReportsTheDesktopHealthy) {
    QProcess doctor;
    doctor.start(QStringLiteral(QUILLORY_EXECUTABLE), {"doctor", "--json"});
    ASSERT_TRUE(doctor.waitForFinished(20000));
    const QByteArray out = doctor.readAllStandardOutput();
    const QJsonObject root = QJsonDocument::fromJson(out).object();
    QMap<QString, QString> status;
    for (const auto& value : root.value("checks").toArray()) {
        status.insert(value.toObject().value("id").toString(), value.toObject().value("status").toString());
    }
    for (const char* id :
         {"display", "xinput2", "xtest", "atspi", "audio-server", "microphone", "autostart"}) {
        EXPECT_EQ(status.value(id), "OK") << id << "\n" << out.toStdString();
    }
    EXPECT_EQ(doctor.exitCode(), root.value("failures").toInt() == 0 ? 0 : 1);

    // Without the display variable the same command fails with advice, and does not crash.
    QProcess headless;
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.remove("DISPLAY");
    headless.setProcessEnvironment(env);
    headless.start(QStringLiteral(QUILLORY_EXECUTABLE), {"doctor"});
    ASSERT_TRUE(headless.waitForFinished(20000));
    EXPECT_EQ(headless.exitStatus(), QProcess::NormalExit);
    EXPECT_EQ(headless.exitCode(), 1);
    const QString text = QString::fromUtf8(headless.readAllStandardOutput());
    EXPECT_TRUE(text.startsWith("FAIL  Display server: none")) << text.toStdString();
    EXPECT_TRUE(text.contains("export DISPLAY"));
}
