// The login item as an XDG autostart entry, in a temporary configuration folder.
#include "Platform/LoginItem.h"

#include <QDir>
#include <QFile>
#include <QTemporaryDir>

#include <gtest/gtest.h>

using namespace quillory;

namespace {
class LoginItemTest : public ::testing::Test {
protected:
    void SetUp() override { ASSERT_TRUE(dir_.isValid()); }

    XdgAutostartLoginItem item(const QString& executable = "/opt/quillory/bin/quillory") {
        XdgAutostartLoginItem::Configuration c;
        c.userDirectory = dir_.filePath("config/autostart");
        c.systemDirectories = {dir_.filePath("xdg/autostart")};
        c.systemDirectoriesGiven = true;
        c.executablePath = executable;
        c.openFolder = [this](const QString& folder) {
            openedFolders << folder;
            return true;
        };
        return XdgAutostartLoginItem(c);
    }
    QString read(const QString& path) {
        QFile f(path);
        return f.open(QIODevice::ReadOnly) ? QString::fromUtf8(f.readAll()) : QString();
    }
    void write(const QString& path, const QString& text) {
        QDir().mkpath(QFileInfo(path).path());
        QFile f(path);
        ASSERT_TRUE(f.open(QIODevice::WriteOnly));
        f.write(text.toUtf8());
    }

    QTemporaryDir dir_;
    QStringList openedFolders;
};
} // namespace

TEST_F(LoginItemTest, RegisterWritesTheEntryAndUnregisterRemovesIt) {
    auto login = item();
    EXPECT_EQ(login.status(), LoginItemStatus::notRegistered);
    // Unregistering what is not there is not an error.
    EXPECT_NO_THROW(login.unregisterItem());

    login.registerItem(); // creates the missing folder
    EXPECT_EQ(login.status(), LoginItemStatus::enabled);
    EXPECT_TRUE(countsAsEnabled(login.status()));
    const QString text = read(login.userEntryPath());
    EXPECT_TRUE(text.startsWith("[Desktop Entry]\n"));
    EXPECT_TRUE(text.contains("\nExec=/opt/quillory/bin/quillory\n"));
    EXPECT_TRUE(text.contains("\nType=Application\n"));
    EXPECT_EQ(login.report().program, "/opt/quillory/bin/quillory");

    login.unregisterItem();
    EXPECT_FALSE(QFile::exists(login.userEntryPath()));
    EXPECT_EQ(login.status(), LoginItemStatus::notRegistered);
}

TEST_F(LoginItemTest, ExecSurvivesPathsWithBlanksQuotesAndPercents) {
    for (const QString path :
         {QStringLiteral("/home/a b/100%/quillory"), QStringLiteral("/x/it's \"q\"/$HOME`/q"),
          QStringLiteral("/x/back\\slash/q")}) {
        auto login = item(path);
        login.registerItem();
        EXPECT_EQ(XdgAutostartLoginItem::entryProgram(read(login.userEntryPath())), path);
    }
    // The Exec rules themselves: "%" doubled, reserved characters quoted with their escapes.
    EXPECT_EQ(XdgAutostartLoginItem::execArgument("/a/50%"), "/a/50%%");
    EXPECT_EQ(XdgAutostartLoginItem::execArgument("/a b/$x"), "\"/a b/\\$x\"");
}

TEST_F(LoginItemTest, HiddenEntriesCountAsOff) {
    auto login = item();
    write(login.userEntryPath(), "[Desktop Entry]\nType=Application\nExec=quillory\nHidden=true\n");
    EXPECT_EQ(login.status(), LoginItemStatus::notRegistered);
    write(login.userEntryPath(), "[Desktop Entry]\nExec=quillory\nX-GNOME-Autostart-enabled=false\n");
    EXPECT_EQ(login.status(), LoginItemStatus::notRegistered);
    // A key of another group does not hide the entry.
    write(login.userEntryPath(), "[Desktop Entry]\nExec=quillory\n[Desktop Action x]\nHidden=true\n");
    EXPECT_EQ(login.status(), LoginItemStatus::enabled);
    // Registering again replaces a hidden entry with an active one.
    write(login.userEntryPath(), "[Desktop Entry]\nExec=old\nHidden=true\n");
    login.registerItem();
    EXPECT_EQ(login.status(), LoginItemStatus::enabled);
}

TEST_F(LoginItemTest, ASystemEntryIsSwitchedOffForThisUser) {
    auto login = item();
    const QString systemEntry = dir_.filePath("xdg/autostart/quillory.desktop");
    write(systemEntry, "[Desktop Entry]\nType=Application\nExec=/usr/bin/quillory\n");
    EXPECT_EQ(login.status(), LoginItemStatus::enabled);
    EXPECT_EQ(login.report().path, systemEntry);

    login.unregisterItem();
    EXPECT_EQ(login.status(), LoginItemStatus::notRegistered);
    EXPECT_TRUE(read(login.userEntryPath()).contains("\nHidden=true\n"));
    EXPECT_TRUE(QFile::exists(systemEntry)); // never touched

    login.registerItem();
    EXPECT_EQ(login.status(), LoginItemStatus::enabled);
}

TEST_F(LoginItemTest, WriteFailureIsAnErrorWithTheReason) {
    // The autostart folder cannot be made: a file stands where it should be.
    write(dir_.filePath("config/autostart"), "not a folder");
    auto login = item();
    try {
        login.registerItem();
        FAIL() << "expected LoginItemError";
    } catch (const LoginItemError& e) {
        EXPECT_TRUE(e.description().startsWith("The autostart entry could not be written"));
    }
    EXPECT_EQ(login.status(), LoginItemStatus::notRegistered);
}

TEST_F(LoginItemTest, OpenSettingsOpensTheAutostartFolder) {
    auto login = item();
    login.openSettings();
    EXPECT_EQ(openedFolders, QStringList{login.userDirectory()});
    EXPECT_TRUE(QFileInfo(login.userDirectory()).isDir());
}

TEST(LoginItemDefaults, TheUserFolderFollowsXdgConfigHome) {
    qputenv("XDG_CONFIG_HOME", "/tmp/quillory-test-config");
    EXPECT_EQ(XdgAutostartLoginItem().userEntryPath(),
              "/tmp/quillory-test-config/autostart/quillory.desktop");
    qputenv("XDG_CONFIG_HOME", "relative/ignored");
    EXPECT_EQ(XdgAutostartLoginItem().userEntryPath(),
              QDir::homePath() + "/.config/autostart/quillory.desktop");
    qunsetenv("XDG_CONFIG_HOME");
    EXPECT_TRUE(QFileInfo(XdgAutostartLoginItem().executablePath()).isAbsolute());
}
