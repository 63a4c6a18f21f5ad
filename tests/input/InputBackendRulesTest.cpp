// The rules the desktop backends apply at the edge: which windows are terminals, which keys a
// paste presses and releases, which clipboard formats are data, which accessible roles are text.
#include "Input/InputEngine.h"
#include "Input/TextInjector.h"
#include "Input/atspi/AtspiFocus.h"
#include "Input/x11/LinuxInputPlatform.h"
#include "Input/x11/PasteKeys.h"
#include "Input/x11/QtClipboard.h"
#include "Input/x11/TerminalClasses.h"
#include "support/CoreTest.h"

#include <gtest/gtest.h>

using namespace quillory;
using namespace quillory::input;

namespace {

class TerminalList : public quillory::testing::CoreTest {};

TEST_F(TerminalList, EachTerminalFamilyGetsTheKeyItsDefaultBindingsPasteWith) {
    const auto keyFor = [](const QList<TerminalClasses::Entry>& list, const char* instance, const char* cls) {
        return TerminalClasses::pasteKeyFor(list, QLatin1String(instance), QLatin1String(cls));
    };
    // Nothing stored: the usual emulators. xterm and the rxvt family have no Ctrl+Shift+V: they
    // paste the primary selection with Shift+Insert.
    const auto defaults = TerminalClasses::fromStore(*store_);
    for (const auto& [instance, cls] : std::vector<std::pair<const char*, const char*>>{
             {"xterm", "XTerm"}, {"uxterm", "UXTerm"}, {"urxvt", "URxvt"}, {"rxvt-unicode", "URxvt"}, {"", "Rxvt"}}) {
        EXPECT_EQ(keyFor(defaults, instance, cls), PasteKey::shiftInsert) << cls;
    }
    for (const auto& [instance, cls] : std::vector<std::pair<const char*, const char*>>{
             {"gnome-terminal-server", "Gnome-terminal"}, {"xfce4-terminal", "Xfce4-terminal"}, {"tilix", "Tilix"},
             {"konsole", "konsole"}, {"kitty", "kitty"}, {"Alacritty", "Alacritty"},
             {"org.wezfurlong.wezterm", "org.wezfurlong.wezterm"}, {"foot", "foot"}, {"st", "st-256color"}}) {
        EXPECT_EQ(keyFor(defaults, instance, cls), PasteKey::ctrlShiftV) << cls;
    }
    // Names match whole, in any case; anything else pastes with Ctrl+V.
    EXPECT_EQ(keyFor(defaults, "steam", "Steam"), PasteKey::ctrlV);
    EXPECT_EQ(keyFor(defaults, "Navigator", "firefox"), PasteKey::ctrlV);
    EXPECT_EQ(keyFor(defaults, "", ""), PasteKey::ctrlV);
    EXPECT_EQ(pasteKeyName(PasteKey::shiftInsert), "Shift+Insert");

    // A stored list written before keys could be chosen still works: plain names, commas, spaces
    // or lines, any case, duplicates once; each name takes its family's key.
    store_->setString(TerminalClasses::storeKey, " My-Term,\nother  my-term ,, URxvt");
    auto mine = TerminalClasses::fromStore(*store_);
    ASSERT_EQ(mine.size(), 3);
    EXPECT_EQ(mine[0], (TerminalClasses::Entry{"my-term", std::nullopt}));
    EXPECT_EQ(keyFor(mine, "my-term", "My-Term"), PasteKey::ctrlShiftV);
    EXPECT_EQ(keyFor(mine, "urxvt", "URxvt"), PasteKey::shiftInsert);
    EXPECT_EQ(keyFor(mine, "xterm", "XTerm"), PasteKey::ctrlV); // not on the user's list

    // A suffix chooses the key; an unknown one leaves the family's.
    store_->setString(TerminalClasses::storeKey,
                      "xterm=Ctrl+Shift+V, my-term=shift+insert, kitty=ctrl-v, urxvt=bogus, =ctrl+v");
    mine = TerminalClasses::fromStore(*store_);
    EXPECT_EQ(mine.size(), 4);
    EXPECT_EQ(keyFor(mine, "xterm", "XTerm"), PasteKey::ctrlShiftV);
    EXPECT_EQ(keyFor(mine, "my-term", ""), PasteKey::shiftInsert);
    EXPECT_EQ(keyFor(mine, "kitty", "kitty"), PasteKey::ctrlV);
    EXPECT_EQ(keyFor(mine, "urxvt", "URxvt"), PasteKey::shiftInsert);

    // An empty list turns the rule off; a value of another type is ignored.
    store_->setString(TerminalClasses::storeKey, "");
    EXPECT_TRUE(TerminalClasses::fromStore(*store_).isEmpty());
    store_->setInteger(TerminalClasses::storeKey, 3);
    EXPECT_EQ(TerminalClasses::fromStore(*store_), defaults);
}

TEST(PasteKeyStrokes, HeldModifiersAreReleasedFirstAndNothingIsPressedAgain) {
    const PasteKeycodes keys{37, 50, 55, 118};
    const int altL = 64, superL = 133, shiftR = 62;

    EXPECT_EQ(pasteKeyDown({}, keys, PasteKey::ctrlV), (std::vector<KeyStroke>{{37, true}, {55, true}}));
    EXPECT_EQ(pasteKeyUp(keys, PasteKey::ctrlV), (std::vector<KeyStroke>{{55, false}, {37, false}}));

    // Alt and Super held: released before Ctrl goes down, so the target sees Ctrl+V alone.
    EXPECT_EQ(pasteKeyDown({altL, superL}, keys, PasteKey::ctrlV),
              (std::vector<KeyStroke>{{altL, false}, {superL, false}, {37, true}, {55, true}}));

    // A terminal: Ctrl+Shift+V, released in reverse; a Shift the user held is released first,
    // and it is not pressed again afterwards.
    const auto down = pasteKeyDown({shiftR}, keys, PasteKey::ctrlShiftV);
    EXPECT_EQ(down, (std::vector<KeyStroke>{{shiftR, false}, {37, true}, {50, true}, {55, true}}));
    const auto up = pasteKeyUp(keys, PasteKey::ctrlShiftV);
    EXPECT_EQ(up, (std::vector<KeyStroke>{{55, false}, {50, false}, {37, false}}));
    for (const KeyStroke& s : up) {
        EXPECT_NE(s.keycode, shiftR);
    }
    // xterm: Shift+Insert, no Control (Ctrl+Insert would copy instead).
    EXPECT_EQ(pasteKeyDown({37}, keys, PasteKey::shiftInsert),
              (std::vector<KeyStroke>{{37, false}, {50, true}, {118, true}}));
    EXPECT_EQ(pasteKeyUp(keys, PasteKey::shiftInsert), (std::vector<KeyStroke>{{118, false}, {50, false}}));
}

TEST(ClipboardFormats, OnlySelfContainedDataIsKept) {
    for (const char* data : {"text/plain", "text/plain;charset=utf-8", "text/html", "image/png",
                             "x-special/gnome-copied-files", "text/uri-list", "application/x-quillory-test",
                             "chromium/x-web-custom-data"}) {
        EXPECT_TRUE(isClipboardDataFormat(QLatin1String(data))) << data;
    }
    for (const char* notData : {"TARGETS", "TIMESTAMP", "MULTIPLE", "SAVE_TARGETS", "DELETE", "INSERT_SELECTION",
                                "INCR", "PIXMAP", "BITMAP", "UTF8_STRING", "application/x-qt-image", "", "/",
                                "text/", "/plain"}) {
        EXPECT_FALSE(isClipboardDataFormat(QLatin1String(notData))) << notData;
    }
}

/// An element with a fixed role, as the accessibility backend reports it.
class RoleElement : public AccessibleElement {
public:
    explicit RoleElement(QString role) : role_(std::move(role)) {}
    std::optional<QVariant> attribute(const QString& name) const override {
        return name == "AXRole" ? QVariant(role_) : QVariant(QStringLiteral("value"));
    }
    bool setAttribute(const QString&, const QVariant&) override { return false; }

private:
    QString role_;
};

class OneElement : public FocusedElementProvider {
public:
    std::shared_ptr<AccessibleElement> element;
    std::shared_ptr<AccessibleElement> focusedElement() override { return element; }
};

TEST(AccessibleRoles, TextRolesAreTextLikeAndPasswordFieldsNeverAre) {
    auto focus = std::make_shared<OneElement>();
    AccessibleTextInjector reader(focus);
    const auto readWithRole = [&](const char* atspiRole) {
        focus->element = std::make_shared<RoleElement>(axRoleForAtspiRole(QLatin1String(atspiRole)));
        return reader.readFocusedTextValueIfAvailable();
    };
    EXPECT_EQ(axRoleForAtspiRole("entry"), "AXTextField");
    // Qt shows a line edit as single-line "text": a field, not an area.
    EXPECT_EQ(axRoleForAtspiRole("text", true), "AXTextField");
    EXPECT_EQ(axRoleForAtspiRole("text", false), "AXTextArea");
    EXPECT_EQ(axRoleForAtspiRole("password text", true), "AXSecureTextField");
    EXPECT_EQ(axRoleForAtspiRole("Combo Box"), "AXComboBox");
    for (const char* text : {"entry", "text", "paragraph", "document text", "combo box"}) {
        EXPECT_EQ(readWithRole(text), QStringLiteral("value")) << text;
    }
    for (const char* other : {"password text", "push button", "document web", "terminal", "label", ""}) {
        EXPECT_EQ(readWithRole(other), std::nullopt) << other;
    }
    EXPECT_TRUE(isSecretAtspiRole("password text"));
    EXPECT_FALSE(isSecretAtspiRole("entry"));
}

TEST(DesktopAvailability, NoDisplayAndNoAccessibilityBusMeanUntrustedAndNoFocusQuietly) {
    // The test main removed DISPLAY and the session bus.
    AtspiFocusedElementProvider focus;
    EXPECT_FALSE(focus.available());
    EXPECT_EQ(focus.focusedElement(), nullptr);

    const LinuxInputPlatform desktop = createLinuxInputPlatform();
    EXPECT_FALSE(desktop.unavailableReason.isEmpty());
    EXPECT_FALSE(desktop.platform.trust->isTrusted());
    // The engine refuses cleanly: no clipboard change, no crash.
    InputEngine engine(desktop.platform);
    EXPECT_THROW(engine.insert(QStringLiteral("text")), InputError);
    EXPECT_EQ(engine.captureBaselineForLiveDictation(), std::nullopt);
}

} // namespace
