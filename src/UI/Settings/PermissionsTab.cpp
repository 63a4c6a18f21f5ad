#include "UI/Settings/PermissionsTab.h"
#include "AI/PolishSettings.h"
#include "AI/RemotePolishEngine.h"

#include "App/AppState.h"
#include "Platform/HostCPU.h"
#include "Platform/LoginItem.h"
#include "Runtime/DefaultsStore.h"
#include "Runtime/Localization.h"
#include "Speech/RemoteSpeech.h"
#include "UI/Settings/SettingsBackend.h"
#include "UI/Settings/SettingsTabs.h"
#include "UI/Settings/SpeechModelSection.h"
#include "UI/Settings/SpeechModelSetupRow.h"
#include "Utilities/CommitDiagnosticsExporter.h"

#include <QButtonGroup>
#include <QCheckBox>
#include <QHBoxLayout>
#include <QIcon>
#include <QLabel>
#include <QProgressBar>
#include <QPushButton>
#include <QVBoxLayout>

namespace quillory {

using Pill = StatusPill;
using Dictation = RuntimeEnvironmentStatus::DictationStatus;
using Sharing = RuntimeEnvironmentStatus::SiriImprovementOptInStatus;

namespace PermissionsTabRules {

PillAppearance permissionPill(PermissionState state) {
    switch (state) {
    case PermissionState::notDetermined: return {Pill::Symbol::exclamation, Pill::Tone::orange, "permission.required"};
    case PermissionState::denied: return {Pill::Symbol::cross, Pill::Tone::red, "permission.denied"};
    case PermissionState::authorized: return {Pill::Symbol::check, Pill::Tone::green, "permission.authorized"};
    }
    return {Pill::Symbol::question, Pill::Tone::neutral, "permission.required"};
}

PillAppearance dictationPill(Dictation status) {
    switch (status) {
    case Dictation::enabled: return {Pill::Symbol::check, Pill::Tone::green, "permission.dictation.enabled"};
    case Dictation::disabled: return {Pill::Symbol::cross, Pill::Tone::red, "permission.dictation.disabled"};
    case Dictation::unknown: break;
    }
    // Linux has no system dictation switch: nothing to warn about.
    return {Pill::Symbol::check, Pill::Tone::neutral, "permission.dictation.unknown"};
}

const char* dictationFootnoteKey(Dictation status) {
    switch (status) {
    case Dictation::enabled: return "permission.dictation.hint.enabled";
    case Dictation::disabled: return "permission.dictation.hint.disabled";
    case Dictation::unknown: break;
    }
    return "permission.dictation.hint.unknown";
}

PillAppearance audioSharingPill(Sharing status) {
    switch (status) {
    case Sharing::optedIn:
        return {Pill::Symbol::warning, Pill::Tone::red, "permission.siri_improvement.opted_in"};
    case Sharing::optedOut:
        return {Pill::Symbol::check, Pill::Tone::green, "permission.siri_improvement.opted_out"};
    case Sharing::undetermined:
        return {Pill::Symbol::question, Pill::Tone::orange, "permission.siri_improvement.undetermined"};
    case Sharing::unknown: break;
    }
    return {Pill::Symbol::check, Pill::Tone::neutral, "permission.siri_improvement.unknown"};
}

const char* audioSharingFootnoteKey(Sharing status) {
    switch (status) {
    case Sharing::optedIn: return "permission.siri_improvement.hint.opted_in";
    case Sharing::optedOut: return "permission.siri_improvement.hint.opted_out";
    case Sharing::undetermined: return "permission.siri_improvement.hint.undetermined";
    case Sharing::unknown: break;
    }
    return "permission.siri_improvement.hint.unknown";
}

} // namespace PermissionsTabRules

namespace {
void showPill(StatusPill* pill, const PillAppearance& a) {
    pill->set(a.symbol, a.tone, L(a.textKey));
}
void showInfo(StatusPill* pill, bool ok, const QString& text) {
    pill->set(ok ? Pill::Symbol::check : Pill::Symbol::warning, ok ? Pill::Tone::green : Pill::Tone::orange, text);
}
QLabel* rowTitle(const QString& text, QWidget* parent) {
    auto* label = new QLabel(text, parent);
    label->setWordWrap(true);
    return label;
}
} // namespace

PermissionsTab::PermissionsTab(AppState& state, SettingsBackend& backend, QWidget* parent)
    : QWidget(parent), state_(state), backend_(backend) {
    setObjectName(QStringLiteral("quillory.settings.permissionsTab"));
    SettingsPage* page = SettingsPage::fill(this);
    SettingsSection* required = buildRequiredSection(page);
    buildSpeechModelRow(required);
    buildDictationRow(required);
    buildSoundInputRow(required);
    buildDataSendingSection(page);
    buildEnvironmentSection(page);
    buildAutostartSection(page);
    buildDiagnosticsSection(page);
    page->finish();

    connect(&backend_, &SettingsBackend::changed, this, &PermissionsTab::refreshView);
    connect(&state_, &AppState::hotkeyConfigChanged, this, &PermissionsTab::refreshView);
    refreshView();
    refreshExport();
}

/// The required grants, each a pill with its request and settings buttons; the reload button.
SettingsSection* PermissionsTab::buildRequiredSection(SettingsPage* page) {
    auto* required = page->addSection(L("permissions.section.required.title"));
    auto* reload = new QPushButton(required);
    reload->setFlat(true);
    reload->setIcon(QIcon(QStringLiteral(":/quillory/icons/reload.svg")));
    reload->setAccessibleName(L("permissions.reload"));
    reload->setToolTip(L("permissions.reload.help"));
    required->addHeaderWidget(reload);
    connect(reload, &QPushButton::clicked, this, &PermissionsTab::performFullRefresh);
    required->setFooter(L("permissions.section.required.footer"));
    const std::pair<const char*, SystemSettingsLink::Link> rowDefs[] = {
        {"onboarding.mic.title", SystemSettingsLink::Link::microphone},
        {"onboarding.speech.title", SystemSettingsLink::Link::speechRecognition},
        {"onboarding.ax.title", SystemSettingsLink::Link::accessibility},
        {"permission.input_monitoring.title", SystemSettingsLink::Link::inputMonitoring}};
    for (int i = 0; i < 4; ++i) {
        PermissionRow& row = rows_[i];
        row.link = rowDefs[i].second;
        required->body()->addWidget(rowTitle(L(rowDefs[i].first), required));
        auto* line = new QHBoxLayout;
        row.pill = new StatusPill(required);
        row.request = new QPushButton(L("onboarding.request"), required);
        row.settings = new QPushButton(L("onboarding.open_settings"), required);
        // Buttons a row does not need are hidden but keep their room: nothing moves under the pointer.
        for (QPushButton* button : {row.request, row.settings}) {
            QSizePolicy policy = button->sizePolicy();
            policy.setRetainSizeWhenHidden(true);
            button->setSizePolicy(policy);
        }
        line->addWidget(row.pill, 1);
        line->addWidget(row.request);
        line->addWidget(row.settings);
        required->body()->addLayout(line);
        row.help = makeCaption(SystemSettingsLink::helpText(row.link), required);
        row.help->hide();
        required->body()->addWidget(row.help);
        connect(row.request, &QPushButton::clicked, this, [this, i] { request(Row(i)); });
        connect(row.settings, &QPushButton::clicked, this, [this, i] { openLink(rows_[i].link, rows_[i].help); });
    }
    return required;
}

/// On Linux the recogniser's availability is its model file: a row with its download.
void PermissionsTab::buildSpeechModelRow(SettingsSection* required) {
    if (auto catalogue = speechModelCatalogueForSettings()) {
        speechModel_ = new SpeechModelSetupRow(std::move(catalogue), required);
        required->body()->addWidget(speechModel_);
        speechModel_->setStatus(state_.status());
        connect(&state_, &AppState::statusChanged, speechModel_, [this] { speechModel_->setStatus(state_.status()); });
        connect(speechModel_, &SpeechModelSetupRow::installedChanged, this, &PermissionsTab::refreshView);
    }
}

void PermissionsTab::buildDictationRow(SettingsSection* required) {
    required->body()->addWidget(rowTitle(L("permission.dictation.title"), required));
    auto* line = new QHBoxLayout;
    dictationPill_ = new StatusPill(required);
    dictationSettings_ = new QPushButton(L("permission.dictation.open_settings"), required);
    line->addWidget(dictationPill_, 1);
    line->addWidget(dictationSettings_);
    required->body()->addLayout(line);
    dictationFootnote_ = makeCaption({}, required);
    required->body()->addWidget(dictationFootnote_);
    auto* help = makeCaption(SystemSettingsLink::helpText(SystemSettingsLink::Link::dictationLanguages), required);
    help->hide();
    required->body()->addWidget(help);
    connect(dictationSettings_, &QPushButton::clicked, this,
            [this, help] { openLink(SystemSettingsLink::Link::dictationLanguages, help); });
}

void PermissionsTab::buildSoundInputRow(SettingsSection* required) {
    required->body()->addWidget(rowTitle(L("permission.sound_input.title"), required));
    auto* line = new QHBoxLayout;
    soundPill_ = new StatusPill(required);
    auto* settings = new QPushButton(L("onboarding.open_settings"), required);
    line->addWidget(soundPill_, 1);
    line->addWidget(settings);
    required->body()->addLayout(line);
    required->body()->addWidget(makeCaption(L("permission.sound_input.hint"), required));
    auto* help = makeCaption(SystemSettingsLink::helpText(SystemSettingsLink::Link::soundInput), required);
    help->hide();
    required->body()->addWidget(help);
    connect(settings, &QPushButton::clicked, this,
            [this, help] { openLink(SystemSettingsLink::Link::soundInput, help); });
}

/// What leaves the machine: the privacy callout and the audio sharing row.
void PermissionsTab::buildDataSendingSection(SettingsPage* page) {
    auto* sending = page->addSection(L("permissions.section.data_sending.title"));
    auto* callout = new QHBoxLayout;
    auto* shield = new QLabel(sending);
    shield->setPixmap(QIcon(QStringLiteral(":/quillory/icons/lock-shield.svg")).pixmap(22, 22));
    callout->addWidget(shield, 0, Qt::AlignTop);
    auto* texts = new QVBoxLayout;
    privacyTitle_ = new QLabel(L("permission.dictation.privacy.title"), sending);
    privacyTitle_->setObjectName(QStringLiteral("privacyTitle"));
    QFont f = privacyTitle_->font();
    f.setWeight(QFont::DemiBold);
    privacyTitle_->setFont(f);
    texts->addWidget(privacyTitle_);
    privacyBody_ = makeCaption(L("permission.dictation.privacy.body"), sending);
    privacyBody_->setObjectName(QStringLiteral("privacyBody"));
    texts->addWidget(privacyBody_);
    callout->addLayout(texts, 1);
    sending->body()->addLayout(callout);
    sending->body()->addWidget(rowTitle(L("permission.siri_improvement.row_title"), sending));
    auto* line = new QHBoxLayout;
    sharingPill_ = new StatusPill(sending);
    sharingSettings_ = new QPushButton(L("permission.siri_improvement.open_settings"), sending);
    line->addWidget(sharingPill_, 1);
    line->addWidget(sharingSettings_);
    sending->body()->addLayout(line);
    sharingFootnote_ = makeCaption({}, sending);
    sending->body()->addWidget(sharingFootnote_);
    auto* help =
        makeCaption(SystemSettingsLink::helpText(SystemSettingsLink::Link::analyticsAndImprovement), sending);
    help->hide();
    sending->body()->addWidget(help);
    connect(sharingSettings_, &QPushButton::clicked, this,
            [this, help] { openLink(SystemSettingsLink::Link::analyticsAndImprovement, help); });
}

/// The system, the local AI server and the machine.
void PermissionsTab::buildEnvironmentSection(SettingsPage* page) {
    auto* environment = page->addSection(L("permissions.section.optional.title"));
    environment->body()->addWidget(rowTitle(L("permission.env.macos_title"), environment));
    osPill_ = new StatusPill(environment);
    environment->body()->addWidget(osPill_);
    environment->body()->addWidget(rowTitle(L("permission.local_ai.title"), environment));
    localAiPill_ = new StatusPill(environment);
    environment->body()->addWidget(localAiPill_);
    localAiDetail_ = makeCaption(L("permission.local_ai.warn.detail"), environment);
    environment->body()->addWidget(localAiDetail_);
    environment->body()->addWidget(rowTitle(L("permission.env.chip_title"), environment));
    machine_ = makeCaption({}, environment);
    machine_->setTextInteractionFlags(Qt::TextSelectableByMouse);
    environment->body()->addWidget(machine_);
}

void PermissionsTab::buildAutostartSection(SettingsPage* page) {
    auto* login = page->addSection(L("permissions.login_item.title"));
    loginItem_ = new QCheckBox(L("permissions.login_item.toggle"), login);
    login->body()->addWidget(loginItem_);
    auto* openLogin = new QPushButton(L("permissions.login_item.open_login_items"), login);
    auto* loginRow = new QHBoxLayout;
    loginRow->addWidget(openLogin);
    loginRow->addStretch(1);
    login->body()->addLayout(loginRow);
    connect(loginItem_, &QCheckBox::clicked, this, &PermissionsTab::setLaunchAtLogin);
    connect(openLogin, &QPushButton::clicked, this, [this] { backend_.openSystemSettingsLoginItems(); });
}

/// The lookback choice and the export of the diagnostics log.
void PermissionsTab::buildDiagnosticsSection(SettingsPage* page) {
    auto* diagnostics = page->addSection(L("diagnostics.section.title"));
    diagnostics->addHelp(L("diagnostics.section.help"));
    auto* row = new QHBoxLayout;
    row->addWidget(new QLabel(L("diagnostics.lookback.title"), diagnostics));
    row->addStretch(1);
    lookback_ = new QButtonGroup(diagnostics);
    lookback_->setExclusive(true);
    auto* segments = new QHBoxLayout;
    segments->setSpacing(0);
    const std::pair<int, const char*> choices[] = {{15, "diagnostics.lookback.last_15_min"},
                                                   {60, "diagnostics.lookback.last_60_min"},
                                                   {180, "diagnostics.lookback.last_180_min"}};
    for (const auto& [minutes, key] : choices) {
        auto* button = new QPushButton(L(key), diagnostics);
        button->setCheckable(true);
        button->setChecked(minutes == lookbackMinutes_);
        lookback_->addButton(button, minutes);
        segments->addWidget(button);
    }
    row->addLayout(segments);
    diagnostics->body()->addLayout(row);
    connect(lookback_, &QButtonGroup::idClicked, this, &PermissionsTab::setDiagnosticsLookbackMinutes);
    auto* exportRow = new QHBoxLayout;
    export_ = new QPushButton(L("diagnostics.export.button"), diagnostics);
    progress_ = new QProgressBar(diagnostics);
    progress_->setRange(0, 0); // busy indicator
    progress_->setMaximumWidth(80);
    progress_->setTextVisible(false);
    exportRow->addWidget(export_);
    exportRow->addWidget(progress_);
    exportRow->addStretch(1);
    diagnostics->body()->addLayout(exportRow);
    error_ = makeCaption({}, diagnostics, false);
    SettingsPalette::setTextTone(error_, SettingsPalette::Tone::red);
    diagnostics->body()->addWidget(error_);
    connect(export_, &QPushButton::clicked, this, &PermissionsTab::exportDiagnostics);
}

void PermissionsTab::showEvent(QShowEvent* event) {
    QWidget::showEvent(event);
    performFullRefresh();
}

void PermissionsTab::performFullRefresh() {
    if (speechModel_) speechModel_->refresh();
    backend_.refreshPermissions();
    backend_.refreshLaunchAtLoginStatus();
    backend_.applyHotkeyConfiguration();
    RuntimeEnvironmentStatus::synchronizeDictationDefaults();
    ++refreshTick_;
    refreshView();
}

void PermissionsTab::refreshView() {
    // What leaves the machine, as the settings say now: the recognition server and the polish
    // server (while polishing is on) when they are set.
    if (privacyTitle_) {
        const auto shown = [](const QUrl& url) {
            return url.toDisplayString(QUrl::RemoveUserInfo | QUrl::RemovePath | QUrl::RemoveQuery);
        };
        const RemoteSpeechSettings speech = RemoteSpeechSettings::read(DefaultsStore::standard());
        const RemotePolishSettings polish = RemotePolishSettings::read(DefaultsStore::standard());
        const bool polishServer = polish.useServer && PolishSettings::isEnabled();
        if (!speech.useServer && !polishServer) {
            privacyTitle_->setText(L("permission.dictation.privacy.title"));
            privacyBody_->setText(L("permission.dictation.privacy.body"));
        } else {
            privacyTitle_->setText(L(speech.useServer && polishServer ? "permission.dictation.privacy.servers_title"
                                     : speech.useServer             ? "permission.dictation.privacy.server_title"
                                                        : "permission.dictation.privacy.polish_server_title"));
            privacyBody_->setText(
                (speech.useServer ? L("permission.dictation.privacy.speech_server").arg(shown(speech.url))
                                  : L("permission.dictation.privacy.speech_local")) +
                QLatin1Char(' ') +
                (polishServer ? L("permission.dictation.privacy.polish_server").arg(shown(polish.url))
                              : L("permission.dictation.privacy.polish_local")));
        }
    }
    const PermissionState states[] = {backend_.microphone(), backend_.speech(), backend_.accessibility(),
                                      backend_.inputMonitoringPermissionState()};
    for (int i = 0; i < 4; ++i) {
        showPill(rows_[i].pill, PermissionsTabRules::permissionPill(states[i]));
        rows_[i].request->setVisible(states[i] != PermissionState::authorized);
        rows_[i].settings->setVisible(states[i] != PermissionState::authorized);
    }
    if (speechModel_ && !speechModel_->installed()) {
        // "Allowed" would promise a dictation that cannot run without a model file.
        rows_[int(Row::speech)].pill->set(StatusPill::Symbol::exclamation, StatusPill::Tone::orange,
                                          L("permission.speech.needs_model"));
    }
    const Dictation dictation = RuntimeEnvironmentStatus::systemKeyboardDictationStatus();
    showPill(dictationPill_, PermissionsTabRules::dictationPill(dictation));
    dictationFootnote_->setText(L(PermissionsTabRules::dictationFootnoteKey(dictation)));
    // A setting the system doesn't have offers no settings button.
    dictationSettings_->setVisible(dictation != Dictation::unknown);
    const bool microphone = RuntimeEnvironmentStatus::hasAudioCaptureDevice();
    showInfo(soundPill_, microphone, L(microphone ? "permission.sound_input.ok" : "permission.sound_input.missing"));
    const Sharing sharing = RuntimeEnvironmentStatus::siriDictationImprovementStatus();
    showPill(sharingPill_, PermissionsTabRules::audioSharingPill(sharing));
    sharingFootnote_->setText(L(PermissionsTabRules::audioSharingFootnoteKey(sharing)));
    sharingSettings_->setVisible(sharing != Sharing::unknown);

    const QString os = RuntimeEnvironmentStatus::operatingSystemVersionString();
    const bool osOk = RuntimeEnvironmentStatus::meetsMinimumOperatingSystem();
    showInfo(osPill_, osOk, Localization::format(osOk ? "permission.env.macos_ok" : "permission.env.macos_warn", os));
    const bool localAi = HostCPU::isLocalLlamaRuntimeSupported();
    showInfo(localAiPill_, localAi, L(localAi ? "permission.local_ai.ok" : "permission.local_ai.warn"));
    localAiDetail_->setVisible(!localAi);
    machine_->setText(RuntimeEnvironmentStatus::cpuBrandString() + QLatin1Char('\n') +
                      Localization::format("permission.env.memory_format",
                                           RuntimeEnvironmentStatus::physicalMemoryDescription()) +
                      QLatin1Char('\n') +
                      Localization::format("permission.env.model_id_format",
                                           RuntimeEnvironmentStatus::hardwareModelIdentifier()));
    loginItem_->setChecked(backend_.launchAtLoginEnabledCached());
}

void PermissionsTab::request(Row row) {
    switch (row) {
    case Row::microphone: backend_.requestMicrophone(); break;
    case Row::speech: backend_.requestSpeech(); break;
    case Row::accessibility: backend_.requestAccessibility(); break;
    case Row::inputMonitoring: openLink(SystemSettingsLink::Link::inputMonitoring, rows_[3].help); break;
    }
    refreshView();
}

void PermissionsTab::openLink(SystemSettingsLink::Link link, QLabel* help) {
    // Where the desktop has no panel for it, the help text explains the step instead.
    help->setVisible(!backend_.openSettingsLink(link));
}

void PermissionsTab::setLaunchAtLogin(bool enabled) {
    try {
        backend_.setLaunchAtLoginEnabled(enabled);
    } catch (const LoginItemError& e) {
        backend_.reportError(e.description());
    }
    // The switch shows the cached state, whatever happened.
    loginItem_->setChecked(backend_.launchAtLoginEnabledCached());
}

void PermissionsTab::setDiagnosticsLookbackMinutes(int minutes) {
    if (minutes != 15 && minutes != 60 && minutes != 180) {
        return;
    }
    lookbackMinutes_ = minutes;
    if (auto* button = lookback_->button(minutes)) {
        button->setChecked(true);
    }
}

QPushButton* PermissionsTab::lookbackButton(int minutes) const {
    return qobject_cast<QPushButton*>(lookback_->button(minutes));
}

void PermissionsTab::refreshExport() {
    export_->setEnabled(!exportInProgress_);
    progress_->setVisible(exportInProgress_);
    error_->setVisible(errorMessage_.has_value());
    error_->setText(errorMessage_.value_or(QString()));
}

namespace {
Task<> runExport(QPointer<PermissionsTab> tab, SettingsBackend* backend, int minutes,
                 std::function<void(std::optional<QString>)> done) {
    std::optional<QString> error;
    try {
        co_await backend->presentSavePanelAndExport(minutes);
    } catch (const CommitDiagnosticsExporter::ExportError& e) {
        error = e.localizedDescription();
    } catch (const std::exception& e) {
        error = QString::fromUtf8(e.what());
    }
    if (tab) {
        done(error);
    }
}
} // namespace

void PermissionsTab::exportDiagnostics() {
    if (exportInProgress_) {
        return; // one export at a time
    }
    errorMessage_.reset();
    exportInProgress_ = true;
    refreshExport();
    QPointer<PermissionsTab> self(this);
    runExport(self, &backend_, lookbackMinutes_, [self](std::optional<QString> error) {
        self->errorMessage_ = std::move(error);
        self->exportInProgress_ = false;
        self->refreshExport();
    });
}

QWidget* makePermissionsTab(AppState& state, SettingsBackend& backend, QWidget* parent) {
    return new PermissionsTab(state, backend, parent);
}

} // namespace quillory
