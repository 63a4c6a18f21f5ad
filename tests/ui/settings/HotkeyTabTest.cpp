// The hotkey tab: configuration writes, the voice test field's sync, the pills, the live key
// display and the physical keys.
#include "SettingsTestSupport.h"
#include "ContrastTestSupport.h"

#include "UI/Overlay/OverlayViews.h"
#include "UI/Settings/HelpPopoverButton.h"
#include "UI/Settings/HotkeyTab.h"
#include "UI/Settings/KeyboardKeyDisplay.h"
#include "UI/Settings/SettingsWidgets.h"

#include <QCheckBox>
#include <QComboBox>
#include <QKeyEvent>
#include <QLabel>
#include <QPushButton>
#include <QRegularExpression>
#include <QScrollArea>
#include <QScrollBar>
#include <QTest>

#include <cmath>
#include <map>

using namespace quillory;
using namespace quillory::testing;
namespace R = quillory::HotkeyTabRules;

namespace {

class HotkeyTabTest : public SettingsTest {
protected:
    HotkeyTab* tab() {
        if (!tab_) {
            tab_ = shown(new HotkeyTab(*state, *backend));
            tab_->resize(400, 900);
        }
        return tab_;
    }
    /// A key event the application receives, with its X keycode.
    void key(QEvent::Type type, int keycode, bool autoRepeat = false, Qt::KeyboardModifiers mods = {}) {
        QKeyEvent event(type, Qt::Key_unknown, mods, quint32(keycode), 0, 0, QString(), autoRepeat);
        QApplication::sendEvent(tab(), &event);
    }
    HotkeyTab* tab_ = nullptr;
};

/// A text that names a key this keyboard does not have (the internal names of the roles).
bool namesAMissingKey(const QString& text) {
    static const QRegularExpression missing(QStringLiteral("Command|Option|\\bfn\\b|⌘|⌥"));
    return text.contains(missing);
}

/// Every text the tab shows or announces, popover help included.
QStringList everyText(QWidget* root) {
    QStringList out;
    for (QWidget* w : root->findChildren<QWidget*>()) {
        if (auto* label = qobject_cast<QLabel*>(w)) {
            out << label->text();
        }
        if (auto* button = qobject_cast<QAbstractButton*>(w)) {
            out << button->text();
        }
        if (auto* help = qobject_cast<HelpPopoverButton*>(w)) {
            out << help->helpText();
        }
        if (auto* combo = qobject_cast<QComboBox*>(w)) {
            for (int i = 0; i < combo->count(); ++i) {
                out << combo->itemText(i);
            }
        }
        out << w->accessibleName() << w->toolTip();
    }
    out.removeAll(QString());
    return out;
}

/// A map with other keys: Muhenkan and Left Ctrl toggle, Henkan is the chord key, no alternate key.
ModifierKeyMap japaneseKeys() {
    ModifierKeyMap m;
    m.leftCommand = {37};
    m.rightCommand = {102};
    m.fn = {100};
    return m;
}

TEST(HotkeyTabRulesTest, SummariesNameThePhysicalKeysOfTheMap) {
    Localization::setLanguage(Localization::Language::English);
    const ModifierKeyMap keys = ModifierKeyMap::defaults();
    HotkeyConfig c;
    EXPECT_EQ(R::toggleSummary(c, keys), QStringLiteral("Right Ctrl ×2"));
    EXPECT_EQ(R::pushToTalkSummary(c, keys), QStringLiteral("Right Shift + Right Ctrl"));
    EXPECT_EQ(R::chordGesture(keys, HotkeyPTTAssignKind::fnOption), QStringLiteral("Right Shift + Left Alt / Right Alt"));
    EXPECT_EQ(R::toggleSummary(c, japaneseKeys()), QStringLiteral("Left Ctrl / Muhenkan ×2"));
    EXPECT_EQ(R::pushToTalkSummary(c, japaneseKeys()), QStringLiteral("Henkan + Left Ctrl / Muhenkan"));
    EXPECT_EQ(R::chordGesture(japaneseKeys(), HotkeyPTTAssignKind::fnOption), QStringLiteral("Henkan + (no key)"));
    ModifierKeyMap odd;
    odd.rightCommand = {200};
    EXPECT_EQ(R::toggleSummary(c, odd), QStringLiteral("keycode 200 ×2"));

    Localization::setLanguage(Localization::Language::Japanese);
    EXPECT_EQ(R::toggleSummary(c, keys), QStringLiteral("右 Ctrl ×2"));
    EXPECT_EQ(R::pushToTalkSummary(c, keys), QStringLiteral("右 Shift + 右 Ctrl"));
    EXPECT_EQ(R::pushToTalkSummary(c, japaneseKeys()), QStringLiteral("変換 + 左 Ctrl / 無変換"));
    Localization::setLanguage(Localization::Language::English);

    c.toggleShortcutEnabled = false;
    EXPECT_EQ(R::toggleSummary(c, keys), QStringLiteral("Off"));
    c.toggleShortcutEnabled = true;
    c.toggleDoubleCommand = false; // a registered key combination
    EXPECT_EQ(R::toggleSummary(c, keys), QStringLiteral("Other"));
    c.modifierChordFnCommand = false;
    EXPECT_EQ(R::pushToTalkSummary(c, keys), QStringLiteral("Other"));
    c.modifierChordFnOption = true;
    EXPECT_EQ(R::pushToTalkSummary(c, keys), QStringLiteral("Right Shift + Left Alt / Right Alt"));
    c.pushToTalkShortcutEnabled = false;
    EXPECT_EQ(R::pushToTalkSummary(c, keys), QStringLiteral("Off"));
}

TEST(HotkeyTabRulesTest, EveryKeyTheMapCanHoldHasANameInBothLanguages) {
    for (auto language : {Localization::Language::English, Localization::Language::Japanese}) {
        Localization::setLanguage(language);
        for (const auto& key : ModifierKeyMap::knownKeys()) {
            const QString name = ModifierKeyMap::keyName(key.keycode);
            EXPECT_FALSE(name.startsWith(QStringLiteral("hotkey.")) || namesAMissingKey(name)) << key.name;
        }
    }
    Localization::setLanguage(Localization::Language::English);
}

TEST(HotkeyTabRulesTest, ChoosingAChordKeepsEveryOtherField) {
    // Choosing fn + Option keeps every other field.
    HotkeyConfig odd;
    odd.keyCode = 49;
    odd.modifiers = 256;
    odd.toggleDoubleCommand = false;
    odd.modifierChordFnRightShift = true;
    odd.toggleShortcutEnabled = false;
    const HotkeyConfig option = R::withPushToTalkKind(odd, HotkeyPTTAssignKind::fnOption);
    EXPECT_TRUE(option.modifierChordFnOption);
    EXPECT_FALSE(option.modifierChordFnCommand);
    HotkeyConfig expected = odd;
    expected.modifierChordFnOption = true;
    expected.modifierChordFnCommand = false;
    EXPECT_EQ(option, expected);
    EXPECT_EQ(R::pushToTalkKind(option), HotkeyPTTAssignKind::fnOption);
    EXPECT_EQ(R::withPushToTalkKind(option, HotkeyPTTAssignKind::fnCommand), R::withPushToTalkKind(odd, HotkeyPTTAssignKind::fnCommand));
}

TEST(KeyboardKeyDisplayTest, LabelsByPhysicalPosition) {
    EXPECT_EQ(KeyboardKeyDisplay::label(38), QStringLiteral("A"));
    EXPECT_EQ(KeyboardKeyDisplay::label(36), QStringLiteral("↩"));
    EXPECT_EQ(KeyboardKeyDisplay::label(71), QStringLiteral("F5"));
    EXPECT_EQ(KeyboardKeyDisplay::label(100), QStringLiteral("変換"));
    EXPECT_EQ(KeyboardKeyDisplay::label(87), KeyboardKeyDisplay::label(10)); // keypad 1 = 1
    EXPECT_EQ(KeyboardKeyDisplay::label(200), QStringLiteral("200"));        // no label: its number
}

TEST_F(HotkeyTabTest, SwitchesAndChordWriteTheConfigurationAndShowTheSummaries) {
    EXPECT_EQ(tab()->toggleSummary()->text(), QStringLiteral("Current: Right Ctrl ×2"));
    EXPECT_EQ(tab()->pushToTalkSummary()->text(), QStringLiteral("Current: Right Shift + Right Ctrl"));
    EXPECT_TRUE(tab()->chordButton(HotkeyPTTAssignKind::fnCommand)->isChecked());

    QTest::mouseClick(tab()->chordButton(HotkeyPTTAssignKind::fnOption), Qt::LeftButton);
    EXPECT_TRUE(state->hotkeyConfig().modifierChordFnOption);
    EXPECT_FALSE(state->hotkeyConfig().modifierChordFnCommand);
    EXPECT_EQ(HotkeyStorage::load(), state->hotkeyConfig()); // persisted
    EXPECT_EQ(tab()->pushToTalkSummary()->text(), QStringLiteral("Current: Right Shift + Left Alt / Right Alt"));
    EXPECT_EQ(tab()->pushToTalkHint()->text(), QStringLiteral("hold Right Shift + Left Alt / Right Alt"));

    // Push-to-talk off: its pill is hidden and the chord picker disabled; the toggle pill stays.
    tab()->pushToTalkSwitch()->click();
    EXPECT_FALSE(state->hotkeyConfig().pushToTalkShortcutEnabled);
    EXPECT_TRUE(state->hotkeyConfig().modifierChordFnOption);
    EXPECT_FALSE(tab()->chordPicker()->isEnabled());
    EXPECT_FALSE(tab()->pushToTalkPillBox()->isVisible());
    EXPECT_TRUE(tab()->togglePillBox()->isVisible());
    EXPECT_EQ(tab()->pushToTalkSummary()->text(), QStringLiteral("Current: Off"));

    tab()->toggleSwitch()->click();
    EXPECT_FALSE(state->hotkeyConfig().toggleShortcutEnabled);
    EXPECT_FALSE(tab()->togglePillBox()->isVisible());
}

TEST_F(HotkeyTabTest, TheVoiceTestShowsTheSameAIBadgeAsTheOverlayWhilePolishingIsOn) {
    state->setAiPolishEnabled(true);
    auto* badge = qobject_cast<QuilloryAIBadge*>(tab()->aiBadge());
    ASSERT_NE(badge, nullptr) << "the overlay's badge, not a look-alike label";
    EXPECT_EQ(badge->text(), L("overlay.badge.ai"));
    EXPECT_TRUE(badge->isVisible());
    state->setAiPolishEnabled(false);
    QApplication::processEvents();
    EXPECT_FALSE(badge->isVisible());
}

TEST_F(HotkeyTabTest, RegistrationBannerShowsOnlyWhileHotkeysAreNotRegistered) {
    backend->registered = false;
    EXPECT_EQ(backend->applyCount, 0);
    tab();
    EXPECT_GE(backend->applyCount, 1); // showing the tab re-registers
    EXPECT_TRUE(tab()->registrationBanner()->isVisible());
    backend->registered = true;
    auto* retry = tab()->registrationBanner()->findChildren<QPushButton*>().at(1);
    const int before = backend->applyCount;
    retry->click();
    EXPECT_EQ(backend->applyCount, before + 1);
    EXPECT_FALSE(tab()->registrationBanner()->isVisible());
}

TEST_F(HotkeyTabTest, TheGnomeShortcutIsOfferedOnlyWhereNothingHearsKeysAndBindsInOneClick) {
    EXPECT_FALSE(tab()->desktopBindingSection()->isVisible()) << "not offered: hidden";
    tab_ = nullptr;
    backend->binding = {true, {}, QStringLiteral("Ctrl+Alt+D")};
    backend->bindFailure = QStringLiteral("gsettings did not answer within 5 s");
    ASSERT_TRUE(tab()->desktopBindingSection()->isVisible());
    EXPECT_EQ(tab()->desktopBindingButton()->text(), QStringLiteral("Bind Ctrl+Alt+D in GNOME"));
    EXPECT_EQ(tab()->desktopBindingStatus()->text(), QStringLiteral("No shortcut is bound yet"));

    // A failure says why and changes nothing.
    tab()->desktopBindingButton()->click();
    EXPECT_TRUE(everyText(tab()).join('\n').contains("The shortcut could not be changed: gsettings did not answer"));
    EXPECT_EQ(tab()->desktopBindingButton()->text(), QStringLiteral("Bind Ctrl+Alt+D in GNOME"));

    backend->bindFailure.reset();
    tab()->desktopBindingButton()->click();
    EXPECT_EQ(backend->bindRequests, (std::vector<bool>{true, true}));
    EXPECT_EQ(tab()->desktopBindingStatus()->text(), QStringLiteral("Ctrl+Alt+D starts and stops dictation"));
    EXPECT_EQ(tab()->desktopBindingButton()->text(), QStringLiteral("Remove"));
    tab()->desktopBindingButton()->click();
    EXPECT_EQ(backend->bindRequests.back(), false);
    EXPECT_EQ(tab()->desktopBindingStatus()->text(), QStringLiteral("No shortcut is bound yet"));
}

TEST_F(HotkeyTabTest, AShortcutServiceFailingWhileTheTabIsOpenOffersTheGnomeBinding) {
    backend->registered = true;
    ASSERT_FALSE(tab()->desktopBindingSection()->isVisible());
    // The portal answers that it bound nothing: the choice now offers the binding.
    backend->binding = {true, {}, QStringLiteral("Ctrl+Alt+D")};
    backend->registered = false;
    emit backend->changed();
    EXPECT_TRUE(tab()->registrationBanner()->isVisible());
    EXPECT_TRUE(tab()->desktopBindingSection()->isVisible());
}

TEST_F(HotkeyTabTest, VoiceTestFieldAppendsTailsReplacesOtherwiseAndIgnoresBadSelections) {
    VoiceTestField* field = tab()->voiceTestField();
    state->setVoiceTestFieldText(QStringLiteral("こんにちは"));
    state->setVoiceTestFieldSelection({5, 0});
    EXPECT_EQ(field->toPlainText(), QStringLiteral("こんにちは"));
    const int replaced = field->replaceCount();

    // Dictation appends: only the tail goes in, the view ends at the bottom.
    QString longTail;
    for (int i = 0; i < 30; ++i) {
        longTail += QStringLiteral("\n行 %1").arg(i);
    }
    state->insertVoiceTestFieldText(longTail);
    EXPECT_EQ(field->toPlainText(), QStringLiteral("こんにちは") + longTail);
    EXPECT_EQ(field->replaceCount(), replaced);
    EXPECT_EQ(field->verticalScrollBar()->value(), field->verticalScrollBar()->maximum());
    EXPECT_EQ(field->selectedRange(), state->voiceTestFieldSelection());

    // Any other change replaces the text.
    state->setVoiceTestFieldText(QStringLiteral("別の文"));
    EXPECT_EQ(field->toPlainText(), QStringLiteral("別の文"));
    EXPECT_EQ(field->replaceCount(), replaced + 1);

    // A stored selection beyond the end is not applied; one inside is.
    state->setVoiceTestFieldSelection({1, 1});
    EXPECT_EQ(field->selectedRange(), (TextSelection{1, 1}));
    state->setVoiceTestFieldSelection({2, 5});
    EXPECT_EQ(field->selectedRange(), (TextSelection{1, 1}));
}

TEST_F(HotkeyTabTest, UserEditsOfTheTestFieldReachTheState) {
    VoiceTestField* field = tab()->voiceTestField();
    field->setFocus();
    QTest::keyClicks(field, QStringLiteral("abc"));
    EXPECT_EQ(state->voiceTestFieldText(), QStringLiteral("abc"));
    EXPECT_EQ(state->voiceTestFieldSelection(), (TextSelection{3, 0}));
    QTest::keyClick(field, Qt::Key_Left, Qt::ShiftModifier);
    EXPECT_EQ(state->voiceTestFieldSelection(), (TextSelection{2, 1}));
    // A dictation into the field now lands at that selection.
    state->insertVoiceTestFieldText(QStringLiteral("Z"));
    EXPECT_EQ(field->toPlainText(), QStringLiteral("abZ"));
}

TEST_F(HotkeyTabTest, PillsFollowTheSessionAndAreGreyedOutWhileProcessingOrWithoutGrants) {
    QPushButton* toggle = tab()->togglePill();
    QPushButton* ptt = tab()->pushToTalkPill();
    EXPECT_EQ(toggle->text(), QStringLiteral("Start"));
    EXPECT_TRUE(toggle->isEnabled());
    EXPECT_EQ(toggle->accessibleName(), QStringLiteral("Toggle, Start"));

    toggle->click();
    settle();
    ASSERT_TRUE(state->status().isRecording());
    EXPECT_EQ(state->recognitionSink(), RecognitionSink::settingsTestField);
    EXPECT_EQ(toggle->text(), QStringLiteral("Stop"));
    EXPECT_TRUE(tab()->togglePillEmphasised());
    EXPECT_EQ(ptt->text(), QStringLiteral("Start"));

    toggle->click(); // stop → processing
    settle();
    ASSERT_TRUE(state->status().is(AppStatus::Kind::processing));
    EXPECT_FALSE(toggle->isEnabled());
    EXPECT_FALSE(ptt->isEnabled());
    finalText(QStringLiteral("テスト"));
    EXPECT_TRUE(toggle->isEnabled());
    EXPECT_EQ(state->voiceTestFieldText(), QStringLiteral("テスト"));
    EXPECT_EQ(tab()->voiceTestField()->toPlainText(), QStringLiteral("テスト"));

    backend->setGrants(PermissionState::denied);
    EXPECT_FALSE(toggle->isEnabled());
    EXPECT_FALSE(ptt->isEnabled());
    backend->setGrants(PermissionState::authorized);
    EXPECT_TRUE(ptt->isEnabled());
}

TEST_F(HotkeyTabTest, PushToTalkPillRecordsWhileHeld) {
    QPushButton* ptt = tab()->pushToTalkPill();
    QTest::mousePress(ptt, Qt::LeftButton);
    settle();
    ASSERT_TRUE(state->status().isRecording());
    EXPECT_EQ(state->voiceTestRecordingOrigin(), VoiceTestRecordingOrigin::pushToTalk);
    EXPECT_EQ(ptt->text(), QStringLiteral("Stop"));
    EXPECT_TRUE(tab()->pushToTalkPillEmphasised());
    QTest::mouseRelease(ptt, Qt::LeftButton);
    settle();
    EXPECT_TRUE(state->status().is(AppStatus::Kind::processing));
    EXPECT_FALSE(tab()->pushToTalkPillEmphasised());

    // A hotkey push-to-talk session into another application: the pill shows it steadily.
    finalText(QStringLiteral("x"));
    startRecordingByHotkey();
    EXPECT_EQ(ptt->text(), QStringLiteral("Stop"));
    EXPECT_TRUE(tab()->pushToTalkPillEmphasised());
    EXPECT_EQ(tab()->togglePill()->text(), QStringLiteral("Start"));
    EXPECT_FALSE(tab()->togglePillEmphasised());
}

TEST_F(HotkeyTabTest, LiveKeysShowHeldKeysOnceAndModifiersOnlyAsCaps) {
    tab()->setKeyMonitorEnabled(true);
    ASSERT_TRUE(tab()->keyMonitorInstalled());
    EXPECT_TRUE(tab()->extraKeyLabels().isEmpty());

    key(QEvent::KeyPress, 38);       // A
    key(QEvent::KeyPress, 38, true); // auto-repeat
    key(QEvent::KeyPress, 38, true);
    key(QEvent::KeyPress, 200); // no label
    key(QEvent::KeyPress, 105); // Right Ctrl: Command by default
    key(QEvent::KeyPress, 37);  // Left Ctrl: Control
    key(QEvent::KeyPress, 62);  // Right Shift: fn by default
    EXPECT_EQ(tab()->extraKeyLabels(), (QStringList{"A", "200"}));
    const auto& caps = tab()->modifierCaps();
    EXPECT_TRUE(caps[0]->isLit());  // Control
    EXPECT_FALSE(caps[1]->isLit()); // Option
    EXPECT_FALSE(caps[2]->isLit()); // Shift: Right Shift is fn here
    EXPECT_TRUE(caps[3]->isLit());  // Command
    EXPECT_TRUE(caps[4]->isLit());  // fn
    EXPECT_EQ(caps[3]->text(), QStringLiteral("Right Ctrl"));
    EXPECT_EQ(caps[3]->accessibleName(), QStringLiteral("Dictation key: Right Ctrl"));

    key(QEvent::KeyRelease, 38, true); // an auto-repeat release keeps the key
    EXPECT_EQ(tab()->extraKeyLabels(), (QStringList{"A", "200"}));
    key(QEvent::KeyRelease, 38);
    key(QEvent::KeyRelease, 105);
    EXPECT_EQ(tab()->extraKeyLabels(), (QStringList{"200"}));
    EXPECT_FALSE(caps[3]->isLit());

    // Switching away clears the display and stops listening.
    tab()->setKeyMonitorEnabled(false);
    EXPECT_EQ(tab()->liveKeyState(), HotkeyLiveKeyState::empty());
    EXPECT_TRUE(tab()->extraKeyLabels().isEmpty());
    key(QEvent::KeyPress, 40);
    EXPECT_TRUE(tab()->liveKeyState().keysDown.empty());
}

TEST_F(HotkeyTabTest, PhysicalKeysMoveBetweenRolesAndReset) {
    const auto rctl = ModifierKeyMap::keycodeForName(QStringLiteral("RCTL")).value();
    const auto muhe = ModifierKeyMap::keycodeForName(QStringLiteral("MUHE")).value();
    // Slot 4 (fn) takes Right Ctrl: Command (slot 1) loses it, so a key never serves two roles.
    QComboBox* fn = tab()->physicalKeyChoice(4);
    fn->setCurrentIndex(fn->findData(rctl));
    emit fn->activated(fn->currentIndex());
    EXPECT_EQ(backend->keys.fn, (std::vector<int>{rctl}));
    EXPECT_TRUE(backend->keys.rightCommand.empty());
    EXPECT_EQ(tab()->physicalKeyChoice(1)->currentData().toInt(), -1);

    QComboBox* right = tab()->physicalKeyChoice(1);
    right->setCurrentIndex(right->findData(muhe));
    emit right->activated(right->currentIndex());
    EXPECT_EQ(backend->keys.rightCommand, (std::vector<int>{muhe}));

    // The live display follows the new roles.
    tab()->setKeyMonitorEnabled(true);
    key(QEvent::KeyPress, muhe);
    EXPECT_TRUE(tab()->modifierCaps()[3]->isLit());
    EXPECT_TRUE(tab()->extraKeyLabels().isEmpty());

    auto buttons = tab()->findChildren<QPushButton*>();
    auto reset = std::find_if(buttons.begin(), buttons.end(),
                              [](QPushButton* b) { return b->text() == QStringLiteral("Use Defaults"); });
    ASSERT_NE(reset, buttons.end());
    (*reset)->click();
    EXPECT_EQ(backend->keys, ModifierKeyMap::defaults());
    EXPECT_EQ(tab()->physicalKeyChoice(1)->currentData().toInt(), rctl);
}

TEST_F(HotkeyTabTest, EveryTextNamesThePhysicalKeysAndFollowsTheKeyMap) {
    for (auto language : {Localization::Language::English, Localization::Language::Japanese}) {
        Localization::setLanguage(language);
        if (tab_) {
            tab_->hide();
            tab_ = nullptr; // a new tab, built in this language
        }
        backend->keys = ModifierKeyMap::defaults();
        const bool en = language == Localization::Language::English;
        // Visible without scrolling or opening the help: the hints and summaries at the top.
        EXPECT_EQ(tab()->toggleHint()->text(), en ? QStringLiteral("press Right Ctrl twice") : QStringLiteral("右 Ctrl を 2 回押す"));
        EXPECT_EQ(tab()->pushToTalkHint()->text(),
                  en ? QStringLiteral("hold Right Shift + Right Ctrl") : QStringLiteral("右 Shift + 右 Ctrl を押し続ける"));
        EXPECT_EQ(tab()->chordButton(HotkeyPTTAssignKind::fnCommand)->text(),
                  en ? QStringLiteral("Right Shift + Right Ctrl") : QStringLiteral("右 Shift + 右 Ctrl"));
        EXPECT_EQ(tab()->modifierCaps()[1]->text(),
                  en ? QStringLiteral("Left Alt / Right Alt") : QStringLiteral("左 Alt / 右 Alt"));
        EXPECT_EQ(tab()->modifierCaps()[4]->text(), en ? QStringLiteral("Right Shift") : QStringLiteral("右 Shift"));
        for (const QString& text : everyText(tab())) {
            EXPECT_FALSE(namesAMissingKey(text)) << qPrintable(text);
        }
        const int top = tab()->pushToTalkSummary()->mapTo(tab(), QPoint(0, 0)).y();
        EXPECT_LT(top + tab()->pushToTalkSummary()->height(), 450) << top; // above the fold of the 560 px window, under its tab bar

        // Another map, chosen on the tab: every key text follows at once.
        QComboBox* chord = tab()->physicalKeyChoice(4);
        emit chord->activated(chord->findData(100)); // Henkan
        QComboBox* second = tab()->physicalKeyChoice(1);
        emit second->activated(second->findData(102)); // Muhenkan
        EXPECT_EQ(tab()->toggleSummary()->text(),
                  en ? QStringLiteral("Current: Muhenkan ×2") : QStringLiteral("現在: 無変換 ×2"));
        EXPECT_EQ(tab()->pushToTalkSummary()->text(),
                  en ? QStringLiteral("Current: Henkan + Muhenkan") : QStringLiteral("現在: 変換 + 無変換"));
        EXPECT_EQ(tab()->toggleHint()->text(), en ? QStringLiteral("press Muhenkan twice") : QStringLiteral("無変換 を 2 回押す"));
        EXPECT_EQ(tab()->modifierCaps()[3]->text(), en ? QStringLiteral("Muhenkan") : QStringLiteral("無変換"));
        EXPECT_EQ(tab()->modifierCaps()[4]->text(), en ? QStringLiteral("Henkan") : QStringLiteral("変換"));
        for (const QString& text : everyText(tab())) {
            EXPECT_FALSE(namesAMissingKey(text)) << qPrintable(text);
        }

        // A map changed elsewhere (`quillory settings`) shows when the tab is shown again.
        backend->keys = japaneseKeys();
        tab()->hide();
        tab()->show();
        EXPECT_EQ(tab()->toggleSummary()->text(),
                  en ? QStringLiteral("Current: Left Ctrl / Muhenkan ×2") : QStringLiteral("現在: 左 Ctrl / 無変換 ×2"));
    }
    Localization::setLanguage(Localization::Language::English);
}

TEST_F(HotkeyTabTest, VoiceTestTextKeepsThePageWhereTheUserScrolledIt) {
    tab()->resize(400, 420);
    tab()->activateWindow();
    QApplication::processEvents();
    auto* page = tab()->findChild<QScrollArea*>();
    ASSERT_NE(page, nullptr);
    QScrollBar* bar = page->verticalScrollBar();
    ASSERT_GT(bar->maximum(), 0);
    QPushButton* toggle = tab()->togglePill();
    page->ensureWidgetVisible(toggle);
    const int position = bar->value();
    // The user clicks Start (the pill takes the focus), speaks, clicks Stop; while the text is
    // made the pills are disabled, then the text arrives.
    toggle->setFocus(Qt::MouseFocusReason);
    toggle->click();
    settle();
    ASSERT_TRUE(state->status().isRecording());
    toggle->click();
    settle();
    ASSERT_TRUE(state->status().is(AppStatus::Kind::processing));
    EXPECT_EQ(bar->value(), position);
    finalText(QStringLiteral("今日は晴れです。明日も晴れるでしょう。"));
    QApplication::processEvents();
    EXPECT_EQ(tab()->voiceTestField()->toPlainText(), QStringLiteral("今日は晴れです。明日も晴れるでしょう。"));
    EXPECT_EQ(bar->value(), position);

    // The same with the push-to-talk pill, held and let go.
    QPushButton* ptt = tab()->pushToTalkPill();
    page->ensureWidgetVisible(ptt);
    const int pttPosition = bar->value();
    ptt->setFocus(Qt::MouseFocusReason);
    QTest::mousePress(ptt, Qt::LeftButton);
    settle();
    ASSERT_TRUE(state->status().isRecording());
    QTest::mouseRelease(ptt, Qt::LeftButton);
    settle();
    ASSERT_TRUE(state->status().is(AppStatus::Kind::processing));
    finalText(QStringLiteral("もう一文。"));
    QApplication::processEvents();
    EXPECT_EQ(bar->value(), pttPosition);

    // Text replaced or appended while the user reads further down leaves the page alone too.
    bar->setValue(bar->maximum());
    state->setVoiceTestFieldText(state->voiceTestFieldText() + QStringLiteral("追記。"));
    state->setVoiceTestFieldText(QStringLiteral("置き換えた文"));
    QApplication::processEvents();
    EXPECT_EQ(bar->value(), bar->maximum());
}

TEST_F(HotkeyTabTest, PillsCapsAndStatusTextsReadOnADarkTheme) {
    const QPalette light = QApplication::palette();
    QApplication::setPalette(darkPalette());
    QApplication::processEvents();
    // The Start pills, the caps (one lit) and the status texts in every tone.
    EXPECT_GE(textContrast(tab()->togglePill()), 4.5);
    tab()->setKeyMonitorEnabled(true);
    key(QEvent::KeyPress, 105);
    for (KeyCap* cap : tab()->modifierCaps()) {
        EXPECT_GE(textContrast(cap), 4.5) << qPrintable(cap->text());
    }
    auto* pill = shown(new StatusPill);
    for (auto tone : {StatusPill::Tone::green, StatusPill::Tone::red, StatusPill::Tone::orange, StatusPill::Tone::neutral}) {
        pill->set(StatusPill::Symbol::check, tone, QStringLiteral("Allowed"));
        EXPECT_GE(contrast(pill->findChild<QLabel*>()->palette().color(QPalette::WindowText),
                           pill->palette().color(QPalette::Window)),
                  4.5)
            << int(tone);
    }
    // Back to the light theme: everything follows.
    QApplication::setPalette(light);
    QApplication::processEvents();
    EXPECT_GE(textContrast(tab()->togglePill()), 4.5);
    EXPECT_GE(textContrast(tab()->modifierCaps()[3]), 4.5);
    for (auto tone : {StatusPill::Tone::green, StatusPill::Tone::red, StatusPill::Tone::orange, StatusPill::Tone::neutral}) {
        pill->set(StatusPill::Symbol::check, tone, QStringLiteral("Allowed"));
        EXPECT_GE(contrast(pill->findChild<QLabel*>()->palette().color(QPalette::WindowText),
                           pill->palette().color(QPalette::Window)),
                  3.0) // the light colours as before: status symbols and texts
            << int(tone);
    }
}

} // namespace
