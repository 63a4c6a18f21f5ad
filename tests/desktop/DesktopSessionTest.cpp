// The private desktop the desktop tests run in: an X display with the extensions the backends
// use, a window manager that gives focus, a sound server with the test microphone.
#include <QApplication>
#include <QLineEdit>
#include <QProcess>
#include <QSignalSpy>
#include <QTest>

#include <gtest/gtest.h>

TEST(DesktopSession, DisplayWindowManagerAndSoundServerAreOurs) {
    EXPECT_EQ(QGuiApplication::platformName(), "xcb");
    // Nothing of the developer's own session leaks in.
    EXPECT_TRUE(qEnvironmentVariable("HOME").contains("quillory-desktop."));
    EXPECT_TRUE(qEnvironmentVariable("PULSE_SERVER").startsWith("unix:"));

    QLineEdit edit;
    edit.setWindowTitle("focus target");
    edit.show();
    edit.activateWindow();
    ASSERT_TRUE(QTest::qWaitForWindowActive(&edit, 5000));
    EXPECT_TRUE(edit.hasFocus());

    QProcess pactl;
    pactl.start("pactl", {"get-default-source"});
    ASSERT_TRUE(pactl.waitForFinished(5000));
    EXPECT_EQ(pactl.readAllStandardOutput().trimmed(), "quillory_test_mic");
}
