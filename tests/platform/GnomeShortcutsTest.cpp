// The binding of `quillory toggle` among GNOME's custom shortcuts, against GNOME's real schemas
// through the real `gsettings` on a private keyfile backend (never the user's dconf database).
#include "Platform/linux/GnomeShortcuts.h"
#include "support/CoreTest.h"

#include <gtest/gtest.h>

using namespace quillory;
using namespace quillory::platform;

namespace {

template <typename T, typename U>
T valueOr(const Expected<T>& e, U fallback) {
    return e ? e.value() : T(fallback);
}

const QString kUsers = QStringLiteral("/org/gnome/settings-daemon/plugins/media-keys/custom-keybindings/custom0/");

class GnomeShortcut : public quillory::testing::CoreTest {
protected:
    void SetUp() override {
        CoreTest::SetUp();
        // The keyfile lives under the test's own XDG_CONFIG_HOME.
        qputenv("GSETTINGS_BACKEND", "keyfile");
    }
    void TearDown() override {
        qunsetenv("GSETTINGS_BACKEND");
        CoreTest::TearDown();
    }
    QString get(const QString& schema, const QString& key) {
        const Expected<QString> value = gsettings({QStringLiteral("get"), schema, key});
        return value ? value.value() : QStringLiteral("<%1>").arg(value.error());
    }
    QString ours(const char* key) {
        return get(QStringLiteral("org.gnome.settings-daemon.plugins.media-keys.custom-keybinding:") +
                       GnomeCustomShortcut::kPath,
                   QString::fromLatin1(key));
    }
    QString list() { return get(QStringLiteral("org.gnome.settings-daemon.plugins.media-keys"), QStringLiteral("custom-keybindings")); }

    GSettingsRunner gsettings = gsettingsProgram();
    GnomeCustomShortcut shortcut{gsettings, QStringLiteral("Quillory: start or stop dictation"),
                                 QStringLiteral("'/opt/my apps/quillory' toggle")};
};

TEST_F(GnomeShortcut, BindsOnceBesideTheUsersOwnBindingsAndRemovesOnlyItself) {
    ASSERT_EQ(valueOr(shortcut.available(), false), true) << "gnome-settings-daemon-common's schemas are installed";
    // The user's own binding is there first.
    ASSERT_TRUE(gsettings({QStringLiteral("set"), QStringLiteral("org.gnome.settings-daemon.plugins.media-keys"),
                           QStringLiteral("custom-keybindings"), GnomeCustomShortcut::formatStringList({kUsers})}).ok());
    EXPECT_EQ(valueOr(shortcut.installedAccelerator(), "<error>"), QString());

    ASSERT_TRUE(shortcut.install().ok());
    ASSERT_TRUE(shortcut.install().ok()) << "again: nothing doubles";
    EXPECT_EQ(list(), GnomeCustomShortcut::formatStringList({kUsers, GnomeCustomShortcut::kPath}));
    EXPECT_EQ(ours("command"), QStringLiteral("\"'/opt/my apps/quillory' toggle\""));
    EXPECT_EQ(ours("binding"), QStringLiteral("'<Control><Alt>d'"));
    EXPECT_EQ(valueOr(shortcut.installedAccelerator(), "<error>"), QStringLiteral("<Control><Alt>d"));

    // The user changed the keys in GNOME's settings: we show theirs, and binding again keeps it in one place.
    ASSERT_TRUE(shortcut.install(QStringLiteral("<Super>F9")).ok());
    EXPECT_EQ(valueOr(shortcut.installedAccelerator(), "<error>"), QStringLiteral("<Super>F9"));
    EXPECT_EQ(list(), GnomeCustomShortcut::formatStringList({kUsers, GnomeCustomShortcut::kPath}));

    ASSERT_TRUE(shortcut.remove().ok());
    EXPECT_EQ(list(), GnomeCustomShortcut::formatStringList({kUsers}));
    EXPECT_EQ(ours("command"), QStringLiteral("''")) << "our entry's keys are reset";
    ASSERT_TRUE(shortcut.remove().ok()) << "removing twice is fine";
    EXPECT_EQ(list(), GnomeCustomShortcut::formatStringList({kUsers}));
}

TEST_F(GnomeShortcut, ListsAndKeysReadAsGnomeWritesThem) {
    EXPECT_EQ(valueOr(GnomeCustomShortcut::parseStringList("@as []"), QStringList{"<error>"}), QStringList());
    EXPECT_EQ(valueOr(GnomeCustomShortcut::parseStringList("['/a/', '/b c/', 'it\\'s']"), QStringList{"<error>"}),
              (QStringList{"/a/", "/b c/", "it's"}));
    EXPECT_FALSE(GnomeCustomShortcut::parseStringList("<no schema>").ok());
    for (const QStringList& list : {QStringList{}, QStringList{"/a/"}, QStringList{"/x'y/", "/z/"}}) {
        EXPECT_EQ(valueOr(GnomeCustomShortcut::parseStringList(GnomeCustomShortcut::formatStringList(list)), QStringList{"<e>"}), list);
    }
    EXPECT_EQ(GnomeCustomShortcut::acceleratorLabel("<Control><Alt>d"), "Ctrl+Alt+D");
    EXPECT_EQ(GnomeCustomShortcut::acceleratorLabel("<Primary><Shift>space"), "Ctrl+Shift+Space");
    EXPECT_EQ(GnomeCustomShortcut::acceleratorLabel("<Super>F9"), "Super+F9");

    // A gsettings that fails is an error, never "not installed".
    GnomeCustomShortcut broken([](const QStringList&) -> Expected<QString> { return Failure{"gsettings did not start"}; },
                               "n", "c");
    EXPECT_FALSE(broken.installedAccelerator().ok());
    EXPECT_FALSE(broken.install().ok());
    GnomeCustomShortcut noSchema(
        [](const QStringList&) -> Expected<QString> {
            return Failure{"gsettings writable: No such schema “org.gnome.settings-daemon.plugins.media-keys”"};
        },
        "n", "c");
    EXPECT_EQ(valueOr(noSchema.available(), true), false);
}

} // namespace
