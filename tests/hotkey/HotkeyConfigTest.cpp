#include "Hotkey/HotkeyConfig.h"

#include "support/CoreTest.h"

#include <QJsonDocument>

using namespace quillory;
using quillory::testing::CoreTest;

namespace {

class HotkeyStorageTest : public CoreTest {
protected:
    HotkeyConfig loadStored(const QByteArray& json) {
        store_->setData(QStringLiteral("quillory.hotkeyConfig"), json);
        return HotkeyStorage::load();
    }
};

HotkeyConfig make(bool toggle, bool ptt, bool fnOption, bool doubleCommand, bool fnCommand) {
    HotkeyConfig c;
    c.toggleShortcutEnabled = toggle;
    c.pushToTalkShortcutEnabled = ptt;
    c.modifierChordFnOption = fnOption;
    c.toggleDoubleCommand = doubleCommand;
    c.modifierChordFnCommand = fnCommand;
    return c;
}

} // namespace

TEST_F(HotkeyStorageTest, MissingOrInvalidRecordsLoadTheFactoryDefaults) {
    EXPECT_EQ(HotkeyStorage::load(), HotkeyConfig::factoryDefaults());
    for (const char* bad :
         {"not json", "[]", "42", "{\"toggleShortcutEnabled\":\"yes\"}", "{\"keyCode\":-1}",
          "{\"keyCode\":1.5}", "{\"keyCode\":4294967296}", "{\"modifierChordFnRightShift\":0}",
          "{\"mode\":\"hold\"}", "{\"modifierOnlyLeftOption\":null}"}) {
        EXPECT_EQ(loadStored(bad), HotkeyConfig::factoryDefaults()) << bad;
    }
    // A string value (not data) under the key is not a stored record either.
    store_->setString(QStringLiteral("quillory.hotkeyConfig"), QStringLiteral("{}"));
    EXPECT_EQ(HotkeyStorage::load(), HotkeyConfig::factoryDefaults());
}

TEST_F(HotkeyStorageTest, EarlierRecordsMigrate) {
    // Empty object: everything on except fn with Option.
    EXPECT_EQ(loadStored("{}"), make(true, true, false, true, true));
    // Only a push-to-talk mode: toggle off, fn with Command forced on so push-to-talk has a gesture.
    EXPECT_EQ(loadStored(R"({"mode":"pushToTalk"})"), make(false, true, false, true, true));
    // A toggle mode with the old right-Option setting: folded into the fn-with-Option chord.
    EXPECT_EQ(loadStored(R"({"mode":"toggle","modifierOnlyRightOption":true})"),
              make(true, false, true, true, false));
    EXPECT_EQ(loadStored(R"({"modifierOnlyLeftOption":true,"modifierChordFnCommand":false})"),
              make(true, true, true, true, false));
    // Present enable flags win over a mode; a missing one becomes true.
    EXPECT_EQ(loadStored(R"({"mode":"toggle","pushToTalkShortcutEnabled":false})"),
              make(true, false, false, true, false));
    // Push-to-talk off with no chord is left without chords.
    EXPECT_EQ(
        loadStored(
            R"({"pushToTalkShortcutEnabled":false,"modifierChordFnCommand":false,"modifierChordFnOption":false})"),
        make(true, false, false, true, false));
}

TEST_F(HotkeyStorageTest, StoredKeyCombinationsAreDroppedOnLoad) {
    HotkeyConfig c = loadStored(R"({"keyCode":49,"carbonModifiers":256})");
    EXPECT_EQ(c.keyCode, 0u);
    EXPECT_EQ(c.modifiers, 0u);
    c = loadStored(R"({"keyCode":0,"carbonModifiers":256})");
    EXPECT_EQ(c.modifiers, 256u);
    c = loadStored(R"({"carbonModifiers":256})");
    EXPECT_EQ(c.modifiers, 256u);
}

TEST_F(HotkeyStorageTest, SavesTheEightMembersAndDropsTheRightShiftChordOnReload) {
    HotkeyConfig c = make(false, true, true, false, false);
    c.keyCode = 49;
    c.modifiers = 256;
    c.modifierChordFnRightShift = true;
    HotkeyStorage::save(c);
    const QJsonObject stored =
        QJsonDocument::fromJson(*store_->dataValue(QStringLiteral("quillory.hotkeyConfig"))).object();
    EXPECT_EQ(stored.keys(),
              (QStringList{"carbonModifiers", "keyCode", "modifierChordFnCommand", "modifierChordFnOption",
                           "modifierChordFnRightShift", "pushToTalkShortcutEnabled", "toggleDoubleCommand",
                           "toggleShortcutEnabled"}));
    EXPECT_EQ(stored["keyCode"].toInt(), 49);
    EXPECT_TRUE(stored["modifierChordFnRightShift"].toBool());
    const HotkeyConfig back = HotkeyStorage::load();
    EXPECT_FALSE(back.modifierChordFnRightShift);
    EXPECT_EQ(back.keyCode, 0u);
    EXPECT_EQ(back.modifiers, 0u);
    EXPECT_TRUE(back.modifierChordFnOption);
}

TEST(HotkeyConfigTest, DerivedProperties) {
    EXPECT_TRUE(HotkeyConfig::factoryDefaults().needsModifierMonitor());
    EXPECT_FALSE(HotkeyConfig::factoryDefaults().needsHotKeyGrab());
    EXPECT_FALSE(make(false, false, true, true, true).needsModifierMonitor());
    EXPECT_TRUE(make(true, false, false, true, false).needsModifierMonitor());
    EXPECT_FALSE(make(true, false, false, false, false).needsModifierMonitor());
    EXPECT_TRUE(make(false, true, true, false, false).needsModifierMonitor());

    HotkeyConfig key = make(true, false, false, false, false);
    key.keyCode = 49;
    EXPECT_TRUE(key.needsHotKeyGrab());
    key.modifierChordFnRightShift = true;
    EXPECT_FALSE(key.needsHotKeyGrab());
    key.modifierChordFnRightShift = false;
    key.toggleDoubleCommand = true;
    EXPECT_FALSE(key.needsHotKeyGrab());
}
