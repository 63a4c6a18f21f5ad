#include "Hotkey/HotkeyBackend.h"
#include "Hotkey/ModifierKeyMap.h"

#include "FakeHotkeyPlatform.h"
#include "support/CoreTest.h"

using namespace quillory;
using quillory::testing::CoreTest;
using quillory::testing::LogCapture;

namespace {

using Keys = std::vector<int>;

class ModifierKeyMapTest : public CoreTest {};

TEST_F(ModifierKeyMapTest, DefaultsAreDistinctPcKeysThatDoNothingOnATap) {
    const ModifierKeyMap m = ModifierKeyMap::defaults();
    EXPECT_EQ(m.rightCommand, Keys{105}); // Right Ctrl
    EXPECT_EQ(m.fn, Keys{62});            // Right Shift
    EXPECT_EQ(m.leftOption, Keys{64});
    EXPECT_EQ(m.rightOption, Keys{108});
    EXPECT_TRUE(m.leftCommand.empty()) << "Left Ctrl would make every Ctrl+C, Ctrl+V a Command tap";
    for (int super : {133, 134}) {
        EXPECT_FALSE(m.virtualKeyFor(super)) << "a tap of Super opens the desktop's launcher";
    }
    EXPECT_EQ(m.virtualKeyFor(105), HotkeyKeys::rightCommand);
    EXPECT_EQ(m.virtualKeyFor(62), HotkeyKeys::fn);
    EXPECT_FALSE(m.virtualKeyFor(38));
}

TEST_F(ModifierKeyMapTest, EncodesNamesAndDecodesNamesAndNumbers) {
    ModifierKeyMap m = ModifierKeyMap::defaults();
    m.leftCommand = {97}; // no name in the table: stays a number
    m.fn = {102};         // Muhenkan
    EXPECT_EQ(QString::fromUtf8(m.encode()),
              R"({"fn":["MUHE"],"leftCommand":[97],"leftOption":["LALT"],"rightCommand":["RCTL"],"rightOption":["RALT"]})");
    QStringList problems;
    EXPECT_EQ(ModifierKeyMap::decode(m.encode(), &problems), m);
    EXPECT_TRUE(problems.isEmpty()) << problems.join('\n').toStdString();

    // Case-insensitive names, a bare key without brackets, an explicitly empty slot.
    const auto d = ModifierKeyMap::decode(R"({"rightCommand":"henk","fn":[" rwin "],"rightOption":[]})");
    EXPECT_EQ(d.rightCommand, Keys{100});
    EXPECT_EQ(d.fn, Keys{134});
    EXPECT_TRUE(d.rightOption.empty());
    EXPECT_EQ(d.leftOption, Keys{64}) << "missing slots keep their defaults";
    EXPECT_EQ(ModifierKeyMap::describeKey(102), QString::fromUtf8("MUHE (Muhenkan (無変換))"));
    EXPECT_EQ(ModifierKeyMap::describeKey(97), "keycode 97");
}

TEST_F(ModifierKeyMapTest, BadInputFallsBackPerSlotWithAProblemEach) {
    for (const char* garbage : {"", "not json", "[105]", "42"}) {
        QStringList problems;
        EXPECT_EQ(ModifierKeyMap::decode(garbage, &problems), ModifierKeyMap::defaults()) << garbage;
        EXPECT_EQ(problems.size(), 1) << garbage;
    }
    QStringList problems;
    const auto m = ModifierKeyMap::decode(
        R"({"rightCommand":{"key":1},"fn":[7, 256, 62.5, "NOPE", true, 50],"leftCommand":[50, 50],"extra":1})",
        &problems);
    EXPECT_EQ(m.rightCommand, Keys{105}) << "not a list: default";
    EXPECT_EQ(m.leftCommand, Keys{50});
    EXPECT_TRUE(m.fn.empty()) << "a key stands for one core key only, the first slot's";
    EXPECT_EQ(problems.size(), 9) << problems.join('\n').toStdString();

    // A default key the user placed in another slot moves there.
    const auto moved = ModifierKeyMap::decode(R"({"leftCommand":["RCTL"]})");
    EXPECT_EQ(moved.leftCommand, Keys{105});
    EXPECT_TRUE(moved.rightCommand.empty());
}

TEST_F(ModifierKeyMapTest, StorageLoadsDefaultsForAnythingUnreadableAndLogsWhy) {
    EXPECT_EQ(ModifierKeyStorage::load(), ModifierKeyMap::defaults());
    ModifierKeyMap m;
    m.rightCommand = {37};
    m.fn = {105};
    ModifierKeyStorage::save(m);
    EXPECT_EQ(ModifierKeyStorage::load(), m);
    EXPECT_EQ(store_->typeOf("quillory.linux.modifierKeys"), DefaultsStore::Type::Data);

    LogCapture log("app.quillory.quillory.hotkey");
    store_->setString("quillory.linux.modifierKeys", R"({"fn":["RCTL"]})"); // a string, not data
    EXPECT_EQ(ModifierKeyStorage::load(), ModifierKeyMap::defaults());
    store_->setData("quillory.linux.modifierKeys", "{oops");
    EXPECT_EQ(ModifierKeyStorage::load(), ModifierKeyMap::defaults());
    EXPECT_EQ(log.lines.size(), 2) << log.lines.join('\n').toStdString();
}

} // namespace
