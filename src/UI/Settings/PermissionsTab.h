#pragma once

#include "Permissions/PermissionManager.h"
#include "Permissions/RuntimeEnvironmentStatus.h"
#include "Permissions/SystemSettingsLink.h"
#include "UI/Settings/SettingsWidgets.h"

#include <QPointer>
#include <QWidget>

#include <optional>

class QButtonGroup;
class QCheckBox;
class QLabel;
class QProgressBar;
class QPushButton;

namespace quillory {
class SpeechModelSetupRow;

class AppState;
class SettingsBackend;

/// How a status shows: symbol, colour and text key.
struct PillAppearance {
    StatusPill::Symbol symbol;
    StatusPill::Tone tone;
    const char* textKey;
};

/// Pure rules of the permissions tab.
namespace PermissionsTabRules {
PillAppearance permissionPill(PermissionState state);
/// `unknown` (the only value on Linux) is neutral and reads "not applicable on Linux".
PillAppearance dictationPill(RuntimeEnvironmentStatus::DictationStatus status);
const char* dictationFootnoteKey(RuntimeEnvironmentStatus::DictationStatus status);
PillAppearance audioSharingPill(RuntimeEnvironmentStatus::SiriImprovementOptInStatus status);
const char* audioSharingFootnoteKey(RuntimeEnvironmentStatus::SiriImprovementOptInStatus status);
} // namespace PermissionsTabRules

/// The permissions tab: the grants with their request and settings buttons, the environment
/// rows, the autostart switch and the diagnostics export.
class PermissionsTab : public QWidget {
    Q_OBJECT

public:
    PermissionsTab(AppState& state, SettingsBackend& backend, QWidget* parent = nullptr);

    /// Refreshes the grants, the autostart state and the hotkey registration, and recomputes the
    /// environment rows (what showing the tab and the reload button do).
    void performFullRefresh();
    /// Exports the chosen window of the diagnostics log through the save dialog.
    void exportDiagnostics();

    int diagnosticsLookbackMinutes() const { return lookbackMinutes_; }
    void setDiagnosticsLookbackMinutes(int minutes);
    const std::optional<QString>& diagnosticsErrorMessage() const { return errorMessage_; }
    bool diagnosticsExportInProgress() const { return exportInProgress_; }
    int environmentRefreshTick() const { return refreshTick_; }

    // ---- parts, for tests and screenshots ----
    enum class Row { microphone, speech, accessibility, inputMonitoring };
    StatusPill* permissionPill(Row row) const { return rows_[int(row)].pill; }
    QPushButton* requestButton(Row row) const { return rows_[int(row)].request; }
    QPushButton* settingsButton(Row row) const { return rows_[int(row)].settings; }
    StatusPill* dictationPill() const { return dictationPill_; }
    StatusPill* audioSharingPill() const { return sharingPill_; }
    StatusPill* localAiPill() const { return localAiPill_; }
    QLabel* localAiDetail() const { return localAiDetail_; }
    QCheckBox* loginItemSwitch() const { return loginItem_; }
    QPushButton* lookbackButton(int minutes) const;
    QPushButton* exportButton() const { return export_; }
    QLabel* errorLabel() const { return error_; }

protected:
    void showEvent(QShowEvent* event) override;

private:
    struct PermissionRow {
        StatusPill* pill = nullptr;
        QPushButton* request = nullptr;
        QPushButton* settings = nullptr;
        QLabel* help = nullptr;
        SystemSettingsLink::Link link{};
    };
    SettingsSection* buildRequiredSection(SettingsPage* page);
    void buildSpeechModelRow(SettingsSection* required);
    void buildDictationRow(SettingsSection* required);
    void buildSoundInputRow(SettingsSection* required);
    void buildDataSendingSection(SettingsPage* page);
    void buildEnvironmentSection(SettingsPage* page);
    void buildAutostartSection(SettingsPage* page);
    void buildDiagnosticsSection(SettingsPage* page);
    void refreshView();
    void refreshExport();
    void request(Row row);
    void openLink(SystemSettingsLink::Link link, QLabel* help);
    void setLaunchAtLogin(bool enabled);

    AppState& state_;
    SettingsBackend& backend_;
    int lookbackMinutes_ = 60;
    std::optional<QString> errorMessage_;
    bool exportInProgress_ = false;
    int refreshTick_ = 0;

    PermissionRow rows_[4];
    StatusPill* dictationPill_ = nullptr;
    QLabel* dictationFootnote_ = nullptr;
    QPushButton* dictationSettings_ = nullptr;
    StatusPill* soundPill_ = nullptr;
    SpeechModelSetupRow* speechModel_ = nullptr;
    StatusPill* sharingPill_ = nullptr;
    QLabel* sharingFootnote_ = nullptr;
    QLabel* privacyTitle_ = nullptr;
    QLabel* privacyBody_ = nullptr;
    QPushButton* sharingSettings_ = nullptr;
    StatusPill* osPill_ = nullptr;
    StatusPill* localAiPill_ = nullptr;
    QLabel* localAiDetail_ = nullptr;
    QLabel* machine_ = nullptr;
    QCheckBox* loginItem_ = nullptr;
    QButtonGroup* lookback_ = nullptr;
    QPushButton* export_ = nullptr;
    QProgressBar* progress_ = nullptr;
    QLabel* error_ = nullptr;
};

} // namespace quillory
