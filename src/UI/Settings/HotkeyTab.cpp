#include "UI/Settings/HotkeyTab.h"
#include "UI/Overlay/OverlayViews.h"

#include "App/AppState.h"
#include "Hotkey/ModifierKeyMap.h"
#include "Runtime/Localization.h"
#include "UI/Settings/KeyboardKeyDisplay.h"
#include "UI/Settings/SettingsBackend.h"
#include "UI/Settings/SettingsLayout.h"
#include "UI/Settings/SettingsTabs.h"
#include "UI/Settings/SettingsWidgets.h"

#include <QApplication>
#include <QButtonGroup>
#include <QCheckBox>
#include <QComboBox>
#include <QGridLayout>
#include <QHBoxLayout>
#include <QKeyEvent>
#include <QPushButton>
#include <QScrollBar>
#include <QTextBlock>
#include <QVBoxLayout>

#include <algorithm>

namespace quillory {

// ---- rules ----

namespace HotkeyTabRules {

QString toggleGesture(const ModifierKeyMap& keys) {
    return Localization::format("hotkey.gesture.double", ModifierKeyMap::keysName(keys.commandKeys()));
}

QString chordGesture(const ModifierKeyMap& keys, HotkeyPTTAssignKind kind) {
    const auto& second = kind == HotkeyPTTAssignKind::fnOption ? keys.optionKeys() : keys.commandKeys();
    return L("hotkey.gesture.chord").arg(ModifierKeyMap::keysName(keys.fn), ModifierKeyMap::keysName(second));
}

QString toggleSummary(const HotkeyConfig& config, const ModifierKeyMap& keys) {
    if (!config.toggleShortcutEnabled) {
        return L("hotkey.summary.off");
    }
    return config.toggleDoubleCommand ? toggleGesture(keys) : L("hotkey.summary.other");
}

QString pushToTalkSummary(const HotkeyConfig& config, const ModifierKeyMap& keys) {
    if (!config.pushToTalkShortcutEnabled) {
        return L("hotkey.summary.off");
    }
    if (config.modifierChordFnCommand) {
        return chordGesture(keys, HotkeyPTTAssignKind::fnCommand);
    }
    if (config.modifierChordFnOption) {
        return chordGesture(keys, HotkeyPTTAssignKind::fnOption);
    }
    return L("hotkey.summary.other");
}

HotkeyPTTAssignKind pushToTalkKind(const HotkeyConfig& config) {
    return config.modifierChordFnOption ? HotkeyPTTAssignKind::fnOption : HotkeyPTTAssignKind::fnCommand;
}

HotkeyConfig withPushToTalkKind(HotkeyConfig config, HotkeyPTTAssignKind kind) {
    config.modifierChordFnOption = kind == HotkeyPTTAssignKind::fnOption;
    config.modifierChordFnCommand = kind == HotkeyPTTAssignKind::fnCommand;
    return config;
}

} // namespace HotkeyTabRules

// ---- the voice test field ----

VoiceTestField::VoiceTestField(QWidget* parent) : QPlainTextEdit(parent) {
    setObjectName(QStringLiteral("quillory.settings.voiceTestField"));
    setAccessibleName(L("hotkey.voice_test.field"));
    setTabChangesFocus(true);
    setLineWrapMode(QPlainTextEdit::WidgetWidth);
    setVerticalScrollBarPolicy(Qt::ScrollBarAsNeeded);
    setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
    document()->setDocumentMargin(0);
    setViewportMargins(10, 12, 10, 12);
    setMinimumHeight(110);
    setMaximumHeight(150);
    connect(this, &QPlainTextEdit::textChanged, this, &VoiceTestField::onTextChanged);
    connect(this, &QPlainTextEdit::cursorPositionChanged, this, &VoiceTestField::onSelectionChanged);
    connect(this, &QPlainTextEdit::selectionChanged, this, &VoiceTestField::onSelectionChanged);
}

TextSelection VoiceTestField::selectedRange() const {
    const QTextCursor c = textCursor();
    return {c.selectionStart(), c.selectionEnd() - c.selectionStart()};
}

void VoiceTestField::sync(const QString& text, TextSelection selection) {
    const QString current = toPlainText();
    if (text != current) {
        isApplyingProgrammaticChange_ = true;
        if (text.size() > current.size() && text.startsWith(current)) {
            // Dictation appends: insert only the tail, keep the user's scroll and undo history.
            QTextCursor end(document());
            end.movePosition(QTextCursor::End);
            end.insertText(text.mid(current.size()));
            lastSyncedText_ = toPlainText();
            isApplyingProgrammaticChange_ = false;
            applySelection(selection);
            verticalScrollBar()->setValue(verticalScrollBar()->maximum());
        } else {
            setPlainText(text);
            ++replaceCount_;
            isApplyingProgrammaticChange_ = false;
        }
    }
    lastSyncedText_ = toPlainText();
    applySelection(selection);
}

void VoiceTestField::applySelection(TextSelection selection) {
    const qsizetype length = document()->characterCount() - 1; // without the closing separator
    if (selection.location < 0 || selection.length < 0 || selection.location > length ||
        selection.length > length - selection.location) {
        return; // out of range: ignored
    }
    if (selection == selectedRange()) {
        return;
    }
    isApplyingProgrammaticChange_ = true;
    QTextCursor c(document());
    c.setPosition(int(selection.location));
    c.setPosition(int(selection.location + selection.length), QTextCursor::KeepAnchor);
    setTextCursor(c);
    ensureCursorVisible();
    isApplyingProgrammaticChange_ = false;
}

void VoiceTestField::onTextChanged() {
    if (isApplyingProgrammaticChange_) {
        return;
    }
    const QString text = toPlainText();
    if (text == lastSyncedText_) {
        return;
    }
    lastSyncedText_ = text;
    emit textEditedByUser(text, selectedRange());
}

void VoiceTestField::onSelectionChanged() {
    if (!isApplyingProgrammaticChange_) {
        emit selectionEditedByUser(selectedRange());
    }
}

// ---- the tab ----

namespace {
constexpr const char* kSlotKeys[] = {"hotkey.physical.leftCommand", "hotkey.physical.rightCommand",
                                     "hotkey.physical.leftOption", "hotkey.physical.rightOption",
                                     "hotkey.physical.fn"};

QString pillStyle(bool emphasised, bool enabled, const QPalette& palette) {
    // Accent fill at 0.4 when emphasised, else 0.14; border accent at 0.5; the palette's button
    // text; drawn at 0.45 when disabled.
    const double opacity = enabled ? 1.0 : 0.45;
    const QColor accent = SettingsPalette::accent(palette);
    return QStringLiteral("QPushButton { background: %1; border: 1px solid %2; border-radius: 6px; padding: 7px 0;"
                          " font-weight: 500; color: %3; }")
        .arg(SettingsPalette::css(accent, (emphasised ? 0.4 : 0.14) * opacity),
             SettingsPalette::css(accent, 0.5 * opacity),
             SettingsPalette::css(SettingsPalette::pillText(palette), opacity));
}
} // namespace

HotkeyTab::HotkeyTab(AppState& state, SettingsBackend& backend, QWidget* parent)
    : QWidget(parent), state_(state), backend_(backend) {
    setObjectName(QStringLiteral("quillory.settings.hotkeyTab"));
    SettingsPage* page = SettingsPage::fill(this);
    buildRegistrationBanner(page);
    buildDesktopBindingSection(page);
    buildShortcutsSection(page);
    buildVoiceTestSection(page);
    buildLiveKeysSection(page);
    buildPhysicalKeysSection(page);
    page->finish();

    connect(&state_, &AppState::hotkeyConfigChanged, this, &HotkeyTab::refreshConfig);
    connect(&state_, &AppState::statusChanged, this, &HotkeyTab::refreshPills);
    connect(&state_, &AppState::voiceTestRecordingOriginChanged, this, &HotkeyTab::refreshPills);
    connect(&state_, &AppState::focusedAppRecordingOriginChanged, this, &HotkeyTab::refreshPills);
    connect(&state_, &AppState::aiPolishEnabledChanged, this,
            [this] { badge_->setVisible(state_.aiPolishEnabled()); });
    auto syncField = [this] {
        if (!writingFromView_) {
            field_->sync(state_.voiceTestFieldText(), state_.voiceTestFieldSelection());
        }
    };
    connect(&state_, &AppState::voiceTestFieldTextChanged, this, syncField);
    connect(&state_, &AppState::voiceTestFieldSelectionChanged, this, syncField);
    connect(&backend_, &SettingsBackend::changed, this, [this] {
        refreshRegistration();
        refreshPills();
        refreshKeyNames();
    });

    syncField();
    badge_->setVisible(state_.aiPolishEnabled());
    refreshConfig();
    refreshRegistration();
    refreshPhysicalKeys();
    refreshLiveKeys();
    refreshDesktopBinding();
}

/// GNOME under Wayland, where nothing hears the keys: `quillory toggle` bound among GNOME's own
/// custom shortcuts in one click.
void HotkeyTab::buildDesktopBindingSection(SettingsPage* page) {
    auto* section = page->addSection(L("hotkey.gnome.section"));
    section->setObjectName(QStringLiteral("quillory.settings.desktopBinding"));
    section->addHelp(L("hotkey.gnome.help"));
    desktopBinding_ = section;
    auto* row = new QHBoxLayout;
    desktopBindingStatus_ = new QLabel(section);
    desktopBindingStatus_->setWordWrap(true);
    row->addWidget(desktopBindingStatus_, 1);
    desktopBindingButton_ = new QPushButton(section);
    row->addWidget(desktopBindingButton_);
    section->body()->addLayout(row);
    desktopBindingError_ = makeCaption({}, section);
    desktopBindingError_->hide();
    section->body()->addWidget(desktopBindingError_);
    connect(desktopBindingButton_, &QPushButton::clicked, this, [this] {
        const Expected<> done = backend_.bindToggleInDesktop(!desktopBound_);
        desktopBindingError_->setVisible(!done.ok());
        if (!done) {
            desktopBindingError_->setText(L("hotkey.gnome.failed").arg(done.error()));
        }
        refreshDesktopBinding();
    });
}

void HotkeyTab::refreshDesktopBinding() {
    const SettingsBackend::DesktopToggleBinding binding = backend_.desktopToggleBinding();
    desktopBinding_->setVisible(binding.offered);
    desktopBound_ = !binding.boundKeys.isEmpty();
    desktopBindingStatus_->setText(desktopBound_ ? L("hotkey.gnome.bound").arg(binding.boundKeys)
                                                 : L("hotkey.gnome.unbound"));
    desktopBindingButton_->setText(desktopBound_ ? L("hotkey.gnome.remove")
                                                 : L("hotkey.gnome.bind").arg(binding.offeredKeys));
}

/// Shown while the shortcuts could not be registered: opening the system's setting, retrying.
void HotkeyTab::buildRegistrationBanner(SettingsPage* page) {
    banner_ = new QFrame(this);
    banner_->setObjectName(QStringLiteral("quillory.settings.registrationBanner"));
    const QColor warning = SettingsPalette::tone(SettingsPalette::Tone::orange, palette());
    banner_->setStyleSheet(QStringLiteral("QFrame#quillory\\.settings\\.registrationBanner {"
                                          " background: %1; border-radius: 8px; }")
                               .arg(SettingsPalette::css(warning, 0.12)));
    auto* layout = new QVBoxLayout(banner_);
    auto* text = new QLabel(L("hotkey.banner.registration_failed"), banner_);
    text->setWordWrap(true);
    layout->addWidget(text);
    auto* row = new QHBoxLayout;
    auto* open = new QPushButton(L("hotkey.open_input_monitoring"), banner_);
    auto* retry = new QPushButton(L("hotkey.retry_registration"), banner_);
    row->addWidget(open);
    row->addWidget(retry);
    row->addStretch(1);
    layout->addLayout(row);
    bannerHelp_ = makeCaption(SystemSettingsLink::helpText(SystemSettingsLink::Link::inputMonitoring), banner_);
    bannerHelp_->hide();
    layout->addWidget(bannerHelp_);
    connect(open, &QPushButton::clicked, this, [this] {
        bannerHelp_->setVisible(!backend_.openSettingsLink(SystemSettingsLink::Link::inputMonitoring));
    });
    connect(retry, &QPushButton::clicked, this, [this] {
        backend_.applyHotkeyConfiguration();
        refreshRegistration();
    });
    page->column()->addWidget(banner_);
}

void HotkeyTab::buildShortcutsSection(SettingsPage* page) {
    auto* shortcuts = page->addSection(L("hotkey.shortcuts.section"));
    shortcuts->addHelp(L("hotkey.help.shortcuts") + QLatin1Char('\n') + L("hotkey.help.assignment"));
    auto addSwitch = [&](const char* titleKey, QLabel*& hint, QCheckBox*& box, QLabel*& summary) {
        auto* row = new QHBoxLayout;
        box = new QCheckBox(L(titleKey), shortcuts);
        row->addWidget(box);
        hint = makeCaption({}, shortcuts);
        row->addWidget(hint, 1);
        shortcuts->body()->addLayout(row);
        summary = makeCaption({}, shortcuts, false);
        summary->setContentsMargins(24, 0, 0, 0);
        shortcuts->body()->addWidget(summary);
    };
    addSwitch("hotkey.toggle.enable", toggleHint_, toggleEnabled_, toggleSummary_);
    addSwitch("hotkey.ptt.enable", pttHint_, pttEnabled_, pttSummary_);
    connect(toggleEnabled_, &QCheckBox::clicked, this, [this](bool on) {
        HotkeyConfig c = state_.hotkeyConfig();
        c.toggleShortcutEnabled = on;
        writeConfig(c);
    });
    connect(pttEnabled_, &QCheckBox::clicked, this, [this](bool on) {
        HotkeyConfig c = state_.hotkeyConfig();
        c.pushToTalkShortcutEnabled = on;
        writeConfig(c);
    });
    auto* row = new QHBoxLayout;
    row->addWidget(new QLabel(L("hotkey.ptt.style.label"), shortcuts));
    row->addStretch(1);
    chordPicker_ = new QWidget(shortcuts);
    chordPicker_->setObjectName(QStringLiteral("quillory.settings.chordPicker"));
    auto* segments = new QHBoxLayout(chordPicker_);
    segments->setContentsMargins(0, 0, 0, 0);
    segments->setSpacing(0);
    chordGroup_ = new QButtonGroup(chordPicker_);
    chordGroup_->setExclusive(true);
    for (auto kind : {HotkeyPTTAssignKind::fnCommand, HotkeyPTTAssignKind::fnOption}) {
        auto* button = new QPushButton(chordPicker_); // named by refreshKeyNames
        button->setCheckable(true);
        chordGroup_->addButton(button, int(kind));
        segments->addWidget(button);
    }
    connect(chordGroup_, &QButtonGroup::idClicked, this, [this](int id) {
        writeConfig(HotkeyTabRules::withPushToTalkKind(state_.hotkeyConfig(), HotkeyPTTAssignKind(id)));
    });
    row->addWidget(chordPicker_);
    shortcuts->body()->addLayout(row);
}

/// The test field with the AI badge, and a pill per enabled shortcut that starts a dictation into it.
void HotkeyTab::buildVoiceTestSection(SettingsPage* page) {
    auto* test = page->addSection(L("hotkey.test.section"));
    test->addHelp(L("hotkey.help.voice_test"));
    field_ = new VoiceTestField(test);
    styleField();
    test->body()->addWidget(field_);
    // The overlay's badge text (its table lives with the overlay).
    badge_ = new QuilloryAIBadge(Localization::hasKey("overlay.badge.ai") ? L("overlay.badge.ai") : QStringLiteral("AI"),
                                 field_);
    badge_->setObjectName(QStringLiteral("quillory.settings.aiBadge"));
    badge_->setAttribute(Qt::WA_TransparentForMouseEvents);
    badge_->adjustSize();
    field_->installEventFilter(this);
    auto addPill = [&](const char* captionKey, QWidget*& box, QLabel*& caption, QPushButton*& pill) {
        box = new QWidget(test);
        auto* column = new QVBoxLayout(box);
        column->setContentsMargins(0, 0, 0, 0);
        column->setSpacing(8);
        caption = new QLabel(L(captionKey), box);
        QFont f = caption->font();
        f.setWeight(QFont::DemiBold);
        caption->setFont(f);
        column->addWidget(caption);
        pill = new QPushButton(box);
        pill->setSizePolicy(QSizePolicy::Expanding, QSizePolicy::Fixed);
        column->addWidget(pill);
        test->body()->addWidget(box);
    };
    addPill("hotkey.voice_test.caption.toggle", togglePillBox_, toggleCaption_, togglePill_);
    addPill("hotkey.voice_test.caption.ptt", pttPillBox_, pttCaption_, pttPill_);
    connect(togglePill_, &QPushButton::clicked, this, [this] { state_.toggleVoiceTestRecording(); });
    auto pressChange = [this](bool pressed) {
        pttPillPressed_ = pressed;
        const bool blocked = state_.status().is(AppStatus::Kind::processing) || !backend_.allPermissionsGranted();
        if (!blocked) {
            if (pressed) {
                state_.voiceTestPushDown();
            } else {
                state_.voiceTestPushUp();
            }
        }
        refreshPills();
    };
    connect(pttPill_, &QPushButton::pressed, this, [pressChange] { pressChange(true); });
    connect(pttPill_, &QPushButton::released, this, [pressChange] { pressChange(false); });
    // A user edit goes to the state without coming back: the view already shows it (the caret
    // settles after the text changed, and its own signal writes the final selection).
    connect(field_, &VoiceTestField::textEditedByUser, this, [this](const QString& text, TextSelection sel) {
        writingFromView_ = true;
        state_.setVoiceTestFieldText(text);
        state_.setVoiceTestFieldSelection(sel);
        writingFromView_ = false;
    });
    connect(field_, &VoiceTestField::selectionEditedByUser, this, [this](TextSelection sel) {
        writingFromView_ = true;
        state_.setVoiceTestFieldSelection(sel);
        writingFromView_ = false;
    });
}

/// The modifier caps (lit while held) and the other keys held, as this application receives them.
void HotkeyTab::buildLiveKeysSection(SettingsPage* page) {
    auto* live = page->addSection(L("hotkey.live_keys.section"));
    live->addHelp(L("hotkey.help.live_keys"));
    auto* row = new QHBoxLayout;
    row->setSpacing(6);
    // The role caps (alternate, dictation, chord) are named by refreshKeyNames.
    const char* caps[] = {"hotkey.keycap.control", nullptr, "hotkey.keycap.shift",
                          nullptr,                 nullptr, "hotkey.keycap.capslock"};
    for (const char* key : caps) {
        auto* cap = new KeyCap(key ? L(key) : QString(), key ? L(key) : QString(), live);
        modifierCaps_.push_back(cap);
        row->addWidget(cap);
    }
    row->addStretch(1);
    live->body()->addLayout(row);
    extraEmpty_ = makeCaption(L("hotkey.live_keys.empty"), live);
    live->body()->addWidget(extraEmpty_);
    extraKeys_ = new QWidget(live);
    extraGrid_ = new QGridLayout(extraKeys_);
    extraGrid_->setContentsMargins(0, 0, 0, 0);
    extraGrid_->setSpacing(6);
    extraGrid_->setAlignment(Qt::AlignLeft | Qt::AlignTop);
    live->body()->addWidget(extraKeys_);
}

/// The physical keys behind Command, Option and fn, with a reset to the defaults.
void HotkeyTab::buildPhysicalKeysSection(SettingsPage* page) {
    auto* physical = page->addSection(L("hotkey.physical.section"));
    physical->addHelp(L("hotkey.help.physical"));
    auto* grid = new QGridLayout;
    grid->setColumnStretch(1, 1);
    for (int slot = 0; slot < 5; ++slot) {
        grid->addWidget(new QLabel(L(kSlotKeys[slot]), physical), slot, 0);
        auto* combo = new QComboBox(physical);
        combo->setAccessibleName(L(kSlotKeys[slot]));
        combo->setSizeAdjustPolicy(QComboBox::AdjustToMinimumContentsLengthWithIcon);
        combo->setMinimumContentsLength(14);
        combo->addItem(L("hotkey.physical.none"), -1);
        for (const auto& key : ModifierKeyMap::knownKeys()) {
            combo->addItem(ModifierKeyMap::keyName(key.keycode), key.keycode);
        }
        grid->addWidget(combo, slot, 1);
        physical_.push_back(combo);
        connect(combo, &QComboBox::activated, this, [this, slot](int index) { choosePhysicalKey(slot, index); });
    }
    physical->body()->addLayout(grid);
    auto* reset = new QPushButton(L("hotkey.physical.reset"), physical);
    auto* row = new QHBoxLayout;
    row->addStretch(1);
    row->addWidget(reset);
    physical->body()->addLayout(row);
    connect(reset, &QPushButton::clicked, this, [this] {
        backend_.setModifierKeys(ModifierKeyMap::defaults());
        refreshPhysicalKeys();
        refreshRegistration();
        refreshKeyNames();
    });
}

HotkeyTab::~HotkeyTab() {
    if (monitorInstalled_) {
        qApp->removeEventFilter(this);
    }
}

void HotkeyTab::styleField() {
    field_->setFrameShape(QFrame::NoFrame);
    field_->setStyleSheet(QStringLiteral("QPlainTextEdit#quillory\\.settings\\.voiceTestField { border: 1px solid"
                                         " %1; border-radius: %2px; background: palette(base); }")
                              .arg(SettingsPalette::css(SettingsPalette::neutral(), 0.35))
                              .arg(SettingsLayout::insetCornerRadius));
}

void HotkeyTab::changeEvent(QEvent* event) {
    QWidget::changeEvent(event);
    if ((event->type() == QEvent::PaletteChange || event->type() == QEvent::ApplicationPaletteChange) && togglePill_) {
        // The pill colours come from the palette, which is resolved once every widget heard.
        QMetaObject::invokeMethod(this, &HotkeyTab::refreshPills, Qt::QueuedConnection);
    }
}

void HotkeyTab::showEvent(QShowEvent* event) {
    QWidget::showEvent(event);
    backend_.applyHotkeyConfiguration();
    refreshRegistration();
    refreshPhysicalKeys();
    refreshKeyNames(); // the map may have changed elsewhere (`quillory settings`)
    refreshPills();
}

void HotkeyTab::writeConfig(const HotkeyConfig& config) {
    // The state persists the record and re-registers the hotkeys.
    state_.setHotkeyConfig(config);
    refreshConfig();
    refreshRegistration();
}

void HotkeyTab::refreshConfig() {
    const HotkeyConfig& c = state_.hotkeyConfig();
    toggleEnabled_->setChecked(c.toggleShortcutEnabled);
    pttEnabled_->setChecked(c.pushToTalkShortcutEnabled);
    refreshKeyNames();
    chordGroup_->button(int(HotkeyTabRules::pushToTalkKind(c)))->setChecked(true);
    chordPicker_->setEnabled(c.pushToTalkShortcutEnabled);
    togglePillBox_->setVisible(c.toggleShortcutEnabled);
    pttPillBox_->setVisible(c.pushToTalkShortcutEnabled);
    refreshPills();
}

void HotkeyTab::refreshKeyNames() {
    namespace R = HotkeyTabRules;
    const HotkeyConfig& c = state_.hotkeyConfig();
    const ModifierKeyMap map = backend_.modifierKeys();
    toggleHint_->setText(Localization::format("hotkey.default.toggle.hint", ModifierKeyMap::keysName(map.commandKeys())));
    pttHint_->setText(Localization::format("hotkey.default.ptt.hint",
                                           R::chordGesture(map, HotkeyTabRules::pushToTalkKind(c))));
    toggleSummary_->setText(Localization::format("hotkey.summary.current", R::toggleSummary(c, map)));
    pttSummary_->setText(Localization::format("hotkey.summary.current", R::pushToTalkSummary(c, map)));
    for (auto kind : {HotkeyPTTAssignKind::fnCommand, HotkeyPTTAssignKind::fnOption}) {
        chordButton(kind)->setText(R::chordGesture(map, kind));
    }
    const std::pair<std::size_t, std::pair<const char*, std::vector<int>>> roleCaps[] = {
        {1, {"hotkey.role.alternate", map.optionKeys()}},
        {3, {"hotkey.role.dictation", map.commandKeys()}},
        {4, {"hotkey.role.chord", map.fn}}};
    for (const auto& [index, role] : roleCaps) {
        const QString keys = ModifierKeyMap::keysName(role.second);
        modifierCaps_[index]->setText(keys);
        modifierCaps_[index]->setAccessibleName(L("hotkey.keycap.role").arg(L(role.first), keys));
        modifierCaps_[index]->setToolTip(L(role.first));
    }
}

void HotkeyTab::refreshRegistration() {
    const bool registered = backend_.globalHotkeyRegistered();
    banner_->setVisible(!registered);
    // A desktop's shortcut service that fails later (a portal that bound nothing) turns the
    // desktop choice to the binding advice: the GNOME binding may be offered now.
    if (shownRegistered_ && *shownRegistered_ != registered && desktopBinding_) {
        refreshDesktopBinding();
    }
    shownRegistered_ = registered;
}

bool HotkeyTab::togglePillEmphasised() const {
    if (!state_.status().isRecording()) {
        return false;
    }
    if (state_.voiceTestRecordingOrigin() == VoiceTestRecordingOrigin::toggle) {
        return true;
    }
    return state_.focusedAppRecordingOrigin() == FocusedAppVoiceRecordingOrigin::toggleHotkey;
}

bool HotkeyTab::pushToTalkPillEmphasised() const {
    const bool recording = state_.status().isRecording();
    const bool whilePressed = recording && state_.voiceTestRecordingOrigin() == VoiceTestRecordingOrigin::pushToTalk;
    const bool steady =
        recording && state_.focusedAppRecordingOrigin() == FocusedAppVoiceRecordingOrigin::pushToTalkHotkey;
    if (whilePressed && !steady) {
        return pttPillPressed_;
    }
    return steady;
}

void HotkeyTab::refreshPills() {
    const bool recording = state_.status().isRecording();
    const auto vto = state_.voiceTestRecordingOrigin();
    const auto fao = state_.focusedAppRecordingOrigin();
    const bool enabled = !state_.status().is(AppStatus::Kind::processing) && backend_.allPermissionsGranted();

    const bool toggleStops = recording && fao != FocusedAppVoiceRecordingOrigin::pushToTalkHotkey;
    togglePill_->setText(L(toggleStops ? "hotkey.voice_test.stop" : "hotkey.voice_test.start"));
    const bool pttStops = recording && (vto == VoiceTestRecordingOrigin::pushToTalk ||
                                        fao == FocusedAppVoiceRecordingOrigin::pushToTalkHotkey);
    pttPill_->setText(L(pttStops ? "hotkey.voice_test.stop" : "hotkey.voice_test.start"));

    // A focused widget that turns disabled hands its focus to the next one, and the page scrolls
    // to show that (the keys card far below): give it to the test field beside it instead, where
    // the text is about to arrive, so the page stays where the user put it.
    const bool pttStaysEnabled = enabled || pttPill_->isDown();
    if ((!enabled && togglePill_->hasFocus()) || (!pttStaysEnabled && pttPill_->hasFocus())) {
        field_->setFocus(Qt::OtherFocusReason);
    }
    // A pill held down keeps receiving its release even if it turns disabled meanwhile.
    togglePill_->setEnabled(enabled);
    pttPill_->setEnabled(pttStaysEnabled);
    togglePill_->setStyleSheet(pillStyle(togglePillEmphasised(), enabled, palette()));
    pttPill_->setStyleSheet(pillStyle(pushToTalkPillEmphasised(), enabled, palette()));
    togglePill_->setAccessibleName(toggleCaption_->text() + QStringLiteral(", ") + togglePill_->text());
    pttPill_->setAccessibleName(pttCaption_->text() + QStringLiteral(", ") + pttPill_->text());
}

// ---- the live key monitor ----

void HotkeyTab::setKeyMonitorEnabled(bool enabled) {
    keyMonitorEnabled_ = enabled;
    if (!enabled) {
        if (monitorInstalled_) {
            qApp->removeEventFilter(this);
            monitorInstalled_ = false;
        }
        setLiveKeyState(HotkeyLiveKeyState::empty());
    } else if (!monitorInstalled_) {
        qApp->installEventFilter(this);
        monitorInstalled_ = true;
    }
}

bool HotkeyTab::eventFilter(QObject* watched, QEvent* event) {
    if (watched == field_ && event->type() == QEvent::Resize) {
        // The AI badge sits in the field's top-right corner, padded 10.
        badge_->move(field_->width() - badge_->width() - 10, 10);
    }
    if (monitorInstalled_ && (event->type() == QEvent::KeyPress || event->type() == QEvent::KeyRelease)) {
        // Only events this application receives; the filter passes every event on unchanged.
        // A key event that propagates to parent widgets is seen again: the updates are idempotent.
        const auto* key = static_cast<QKeyEvent*>(event);
        handleKeyEvent(event->type(), int(key->nativeScanCode()), key->modifiers(), key->isAutoRepeat());
    }
    return QWidget::eventFilter(watched, event);
}

void HotkeyTab::handleKeyEvent(QEvent::Type type, int keycode, Qt::KeyboardModifiers modifiers, bool autoRepeat) {
    HotkeyLiveKeyState next = liveKeyState_;
    next.modifierFlags = modifiers;
    if (keycode > 0) {
        if (type == QEvent::KeyRelease && !autoRepeat) {
            next.keysDown.erase(keycode);
        } else if (type == QEvent::KeyPress && !autoRepeat) {
            next.keysDown.insert(keycode);
        }
    }
    setLiveKeyState(std::move(next));
}

void HotkeyTab::setLiveKeyState(HotkeyLiveKeyState state) {
    if (state == liveKeyState_) {
        return;
    }
    liveKeyState_ = std::move(state);
    refreshLiveKeys();
}

QStringList HotkeyTab::extraKeyLabels() const {
    QStringList out;
    for (int i = 0; i < extraGrid_->count(); ++i) {
        if (auto* label = qobject_cast<QLabel*>(extraGrid_->itemAt(i)->widget())) {
            out << label->text();
        }
    }
    return out;
}

void HotkeyTab::refreshLiveKeys() {
    namespace K = KeyboardKeyDisplay;
    const ModifierKeyMap map = backend_.modifierKeys();
    auto roleOf = [&](int code) { return map.virtualKeyFor(code); };
    auto held = [&](std::initializer_list<int> codes) {
        return std::any_of(codes.begin(), codes.end(),
                           [&](int c) { return liveKeyState_.keysDown.count(c) && !roleOf(c); });
    };
    auto heldRole = [&](std::initializer_list<std::uint16_t> roles) {
        return std::any_of(liveKeyState_.keysDown.begin(), liveKeyState_.keysDown.end(), [&](int c) {
            const auto r = roleOf(c);
            return r && std::find(roles.begin(), roles.end(), *r) != roles.end();
        });
    };
    // Control, Option, Shift, Command, fn, Caps Lock. Keys chosen for Command, Option or fn light
    // their role's cap, not the cap of what is printed on them. Caps Lock lights while it is held.
    modifierCaps_[0]->setLit(held({K::kLeftControl, K::kRightControl}));
    modifierCaps_[1]->setLit(heldRole({58, 61}));
    modifierCaps_[2]->setLit(held({K::kLeftShift, K::kRightShift}));
    modifierCaps_[3]->setLit(heldRole({55, 54}));
    modifierCaps_[4]->setLit(heldRole({63}));
    modifierCaps_[5]->setLit(liveKeyState_.keysDown.count(K::kCapsLock) > 0);

    while (QLayoutItem* item = extraGrid_->takeAt(0)) {
        delete item->widget();
        delete item;
    }
    std::vector<int> extra;
    for (int code : liveKeyState_.keysDown) { // std::set: ascending
        if (!K::modifierKeycodes().count(code) && !roleOf(code)) {
            extra.push_back(code);
        }
    }
    // Adaptive columns of at least 40 across the card's width.
    const int columns = std::max(1, (std::max(extraKeys_->width(), 300) + 6) / (40 + 6));
    for (std::size_t i = 0; i < extra.size(); ++i) {
        auto* cap = new QLabel(K::label(extra[i]), extraKeys_);
        cap->setAlignment(Qt::AlignCenter);
        cap->setMinimumWidth(40);
        cap->setStyleSheet(QStringLiteral("QLabel { background: %1; border-radius: 5px; padding: 5px 8px;"
                                          " font-weight: 500; }")
                               .arg(SettingsPalette::css(SettingsPalette::neutral(), 0.25)));
        extraGrid_->addWidget(cap, int(i) / columns, int(i) % columns);
    }
    extraEmpty_->setVisible(extra.empty());
    extraKeys_->setVisible(!extra.empty());
}

// ---- physical keys ----

void HotkeyTab::refreshPhysicalKeys() {
    updatingPhysical_ = true;
    const ModifierKeyMap map = backend_.modifierKeys();
    const auto& slotDefs = ModifierKeyMap::slotList();
    for (int slot = 0; slot < int(physical_.size()); ++slot) {
        QComboBox* combo = physical_[std::size_t(slot)];
        const auto& keys = map.keysFor(slotDefs[std::size_t(slot)].virtualKey);
        int index = 0;
        if (!keys.empty()) {
            index = combo->findData(keys.front());
            if (index < 0) {
                combo->addItem(ModifierKeyMap::describeKey(keys.front()), keys.front());
                index = combo->count() - 1;
            }
        }
        combo->setCurrentIndex(index);
    }
    updatingPhysical_ = false;
}

void HotkeyTab::choosePhysicalKey(int slot, int index) {
    if (updatingPhysical_) {
        return;
    }
    const int keycode = physical_[std::size_t(slot)]->itemData(index).toInt();
    ModifierKeyMap map = backend_.modifierKeys();
    const auto& slotDefs = ModifierKeyMap::slotList();
    if (keycode > 0) {
        // A key serves one role: take it away from the others.
        for (const auto& s : slotDefs) {
            std::erase(map.keysFor(s.virtualKey), keycode);
        }
    }
    auto& keys = map.keysFor(slotDefs[std::size_t(slot)].virtualKey);
    keys.clear();
    if (keycode > 0) {
        keys.push_back(keycode);
    }
    backend_.setModifierKeys(map);
    refreshPhysicalKeys();
    refreshRegistration();
    refreshLiveKeys();
    refreshKeyNames();
}

QPushButton* HotkeyTab::chordButton(HotkeyPTTAssignKind kind) const {
    return qobject_cast<QPushButton*>(chordGroup_->button(int(kind)));
}

QWidget* makeHotkeyTab(AppState& state, SettingsBackend& backend, QWidget* parent) {
    return new HotkeyTab(state, backend, parent);
}

} // namespace quillory
