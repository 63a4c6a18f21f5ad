#pragma once

#include "App/AppStatus.h"
#include "Hotkey/HotkeyConfig.h"
#include "Hotkey/ModifierKeyMap.h"

#include <QLabel>
#include <QPlainTextEdit>
#include <QWidget>

#include <optional>
#include <set>

class QButtonGroup;
class QCheckBox;
class QComboBox;
class QGridLayout;
class QLabel;
class QPushButton;

namespace quillory {

class AppState;
class KeyCap;
class SettingsPage;
class SettingsBackend;

/// The push-to-talk chord choice.
enum class HotkeyPTTAssignKind { fnCommand, fnOption };

/// Pure rules of the hotkey tab. Gestures are named by the physical keys of the key map, in the
/// user's language ("Right Ctrl ×2", "Right Shift + Right Ctrl").
namespace HotkeyTabRules {
/// The double tap of the dictation keys.
QString toggleGesture(const ModifierKeyMap& keys);
/// The push-to-talk chord `kind`.
QString chordGesture(const ModifierKeyMap& keys, HotkeyPTTAssignKind kind);
/// The compact toggle summary: the gesture, "Off" or "Other".
QString toggleSummary(const HotkeyConfig& config, const ModifierKeyMap& keys);
/// The compact push-to-talk summary: the chord, "Off" or "Other".
QString pushToTalkSummary(const HotkeyConfig& config, const ModifierKeyMap& keys);
HotkeyPTTAssignKind pushToTalkKind(const HotkeyConfig& config);
/// A copy of `config` with the chord set to `kind`; every other field unchanged.
HotkeyConfig withPushToTalkKind(HotkeyConfig config, HotkeyPTTAssignKind kind);
} // namespace HotkeyTabRules

/// The keys held while the hotkey tab is shown: the modifier flags and the X keycodes down.
struct HotkeyLiveKeyState {
    Qt::KeyboardModifiers modifierFlags;
    std::set<int> keysDown;
    static HotkeyLiveKeyState empty() { return {}; }
    bool operator==(const HotkeyLiveKeyState&) const = default;
};

/// The voice test field: a plain-text editor bound to the state's test text and selection.
/// A text that grows by a tail gets only the tail appended (and scrolls to the end); any other
/// change replaces the text. A selection outside the text is ignored.
class VoiceTestField : public QPlainTextEdit {
    Q_OBJECT

public:
    explicit VoiceTestField(QWidget* parent = nullptr);

    /// Model to view.
    void sync(const QString& text, TextSelection selection);
    TextSelection selectedRange() const;
    /// How many times the whole text was replaced (a tail append does not count); for tests.
    int replaceCount() const { return replaceCount_; }

signals:
    /// The user changed the text (with the selection after the change).
    void textEditedByUser(const QString& text, TextSelection selection);
    /// The user moved the caret or the selection.
    void selectionEditedByUser(TextSelection selection);

private:
    void applySelection(TextSelection selection);
    void onTextChanged();
    void onSelectionChanged();

    QString lastSyncedText_;
    bool isApplyingProgrammaticChange_ = false;
    int replaceCount_ = 0;
};

/// The hotkey tab: shortcuts, the voice test, the live key display and the physical keys behind
/// Command, Option and fn.
class HotkeyTab : public QWidget {
    Q_OBJECT

public:
    HotkeyTab(AppState& state, SettingsBackend& backend, QWidget* parent = nullptr);
    ~HotkeyTab() override;

    /// True exactly while the hotkey tab is the selected tab of a shown window.
    void setKeyMonitorEnabled(bool enabled);
    bool keyMonitorEnabled() const { return keyMonitorEnabled_; }
    bool keyMonitorInstalled() const { return monitorInstalled_; }
    const HotkeyLiveKeyState& liveKeyState() const { return liveKeyState_; }

    // ---- parts, for tests and screenshots ----
    QWidget* registrationBanner() const { return banner_; }
    QCheckBox* toggleSwitch() const { return toggleEnabled_; }
    QCheckBox* pushToTalkSwitch() const { return pttEnabled_; }
    QLabel* toggleSummary() const { return toggleSummary_; }
    QLabel* pushToTalkSummary() const { return pttSummary_; }
    QWidget* chordPicker() const { return chordPicker_; }
    QPushButton* chordButton(HotkeyPTTAssignKind kind) const;
    VoiceTestField* voiceTestField() const { return field_; }
    QWidget* aiBadge() const { return badge_; }
    QWidget* togglePillBox() const { return togglePillBox_; }
    QWidget* pushToTalkPillBox() const { return pttPillBox_; }
    QPushButton* togglePill() const { return togglePill_; }
    QPushButton* pushToTalkPill() const { return pttPill_; }
    bool togglePillEmphasised() const;
    bool pushToTalkPillEmphasised() const;
    /// The hints beside the two switches ("press Right Ctrl twice", "hold Right Shift + Right Ctrl").
    QLabel* toggleHint() const { return toggleHint_; }
    QLabel* pushToTalkHint() const { return pttHint_; }
    /// The caps of the modifier row: Ctrl, the alternate keys, Shift, the dictation keys, the chord
    /// key, Caps Lock. The three role caps show the physical keys of the key map.
    const std::vector<KeyCap*>& modifierCaps() const { return modifierCaps_; }
    /// The texts of the extra-keys grid, in order.
    QStringList extraKeyLabels() const;
    QComboBox* physicalKeyChoice(int slot) const { return physical_.at(std::size_t(slot)); }
    /// The GNOME shortcut card (hidden where it is not offered), its status and its button.
    QWidget* desktopBindingSection() const { return desktopBinding_; }
    QLabel* desktopBindingStatus() const { return desktopBindingStatus_; }
    QPushButton* desktopBindingButton() const { return desktopBindingButton_; }

protected:
    bool eventFilter(QObject* watched, QEvent* event) override;
    void showEvent(QShowEvent* event) override;
    void changeEvent(QEvent* event) override;

private:
    void buildRegistrationBanner(SettingsPage* page);
    void buildShortcutsSection(SettingsPage* page);
    void buildVoiceTestSection(SettingsPage* page);
    void buildLiveKeysSection(SettingsPage* page);
    void buildPhysicalKeysSection(SettingsPage* page);
    void buildDesktopBindingSection(SettingsPage* page);
    void refreshDesktopBinding();
    void handleKeyEvent(QEvent::Type type, int keycode, Qt::KeyboardModifiers modifiers, bool autoRepeat);
    void setLiveKeyState(HotkeyLiveKeyState state);
    void refreshConfig();
    void refreshRegistration();
    void refreshPills();
    void refreshLiveKeys();
    void refreshPhysicalKeys();
    /// Every text that names a key, from the current key map.
    void refreshKeyNames();
    void writeConfig(const HotkeyConfig& config);
    void choosePhysicalKey(int slot, int index);
    void styleField();

    AppState& state_;
    SettingsBackend& backend_;
    bool keyMonitorEnabled_ = false;
    bool monitorInstalled_ = false;
    HotkeyLiveKeyState liveKeyState_;

    QWidget* banner_ = nullptr;
    QLabel* bannerHelp_ = nullptr;
    QWidget* desktopBinding_ = nullptr;
    QLabel* desktopBindingStatus_ = nullptr;
    QLabel* desktopBindingError_ = nullptr;
    QPushButton* desktopBindingButton_ = nullptr;
    bool desktopBound_ = false;
    std::optional<bool> shownRegistered_; ///< the registration the banner last showed
    QCheckBox* toggleEnabled_ = nullptr;
    QCheckBox* pttEnabled_ = nullptr;
    QLabel* toggleSummary_ = nullptr;
    QLabel* pttSummary_ = nullptr;
    QLabel* toggleHint_ = nullptr;
    QLabel* pttHint_ = nullptr;
    QWidget* chordPicker_ = nullptr;
    QButtonGroup* chordGroup_ = nullptr;
    VoiceTestField* field_ = nullptr;
    QWidget* badge_ = nullptr; // the overlay's AI badge
    QWidget* togglePillBox_ = nullptr;
    QWidget* pttPillBox_ = nullptr;
    QPushButton* togglePill_ = nullptr;
    QPushButton* pttPill_ = nullptr;
    QLabel* toggleCaption_ = nullptr;
    QLabel* pttCaption_ = nullptr;
    bool pttPillPressed_ = false;
    bool writingFromView_ = false;
    std::vector<KeyCap*> modifierCaps_;
    QWidget* extraKeys_ = nullptr;
    QGridLayout* extraGrid_ = nullptr;
    QLabel* extraEmpty_ = nullptr;
    std::vector<QComboBox*> physical_;
    bool updatingPhysical_ = false;
};

} // namespace quillory
