#pragma once

#include "App/AppStatus.h"
#include "Platform/qt/OverlaySurface.h"
#include "UI/Overlay/InputStatusOverlayModel.h"
#include "UI/Overlay/OverlayGeometry.h"

#include <QObject>
#include <QPointer>
#include <QScreen>

#include <memory>
#include <optional>

namespace quillory {

class AppState;
class InputStatusStripView;
class InputTranscriptPanelView;
class OverlayPanel;

/// Projects the application state onto the overlay: the strip near the bottom of the screen
/// (recording, processing, error) and the transcript panel the strip's button opens. Observes
/// `AppState`'s signals, syncs on the next turn of the scheduler, and calls the state's
/// `cancelCommitProcessing` / `dismissError` from the strip's buttons. Main thread only.
class InputStatusOverlayController : public QObject {
    Q_OBJECT

public:
    static inline const QString kInputStatusPanelIdentifier = QStringLiteral("quillory.inputStatusPanel");
    static inline const QString kInputTranscriptPanelIdentifier = QStringLiteral("quillory.inputTranscriptPanel");

    /// `screen` is the screen to place the panels on; null means the primary screen (or the first
    /// one) at each placement. With no screen at all nothing is placed or shown. With `surfaces`
    /// the panels are shown on surfaces of theirs (layer-shell) instead of as windows.
    explicit InputStatusOverlayController(AppState& state, QScreen* screen = nullptr, QObject* parent = nullptr,
                                          std::shared_ptr<platform::OverlaySurfaces> surfaces = nullptr);
    ~InputStatusOverlayController() override;

    /// The instance the app created (null before and after).
    static InputStatusOverlayController* shared();

    /// Installs the observation of the state once and syncs.
    void startSyncingWithAppStateIfNeeded();
    /// Projects the state onto the model and the panels now.
    void sync();
    /// Opens or closes the transcript panel (the strip's transcript button).
    void toggleTranscriptPanel();

    /// The layout token of the state: "idle", "rec-<nonce>", "proc-<nonce>" or "err", then "-tr" and
    /// whether the transcript is open ("rec-12-trtrue").
    QString overlayLayoutToken() const;

    InputStatusOverlayModel& model() { return model_; }
    OverlayPanel* statusPanel() const { return statusPanel_; }
    OverlayPanel* transcriptPanel() const { return transcriptPanel_; }
    InputStatusStripView* stripView() const { return stripView_; }
    InputTranscriptPanelView* transcriptView() const { return transcriptView_; }
    const QString& transcriptScratchpad() const { return transcriptScratchpad_; }
    const QString& lastOverlayLayoutToken() const { return lastOverlayLayoutToken_; }
    /// The screen used now, or null.
    QScreen* screen() const;
    /// The coordinate conversion for `screen()`.
    std::optional<ScreenSpace> screenSpace() const;

private:
    void scheduleSync();
    void updateTranscriptScratchpad();
    void reconcileOverlayPanels(bool syncTranscriptBody);
    void syncTranscriptPanelLayout(bool orderFront);
    void layoutTranscriptAboveStatusInitial();
    void layoutTranscriptResizeKeepingOrigin();
    void layoutTranscriptFallbackBottomCenter(double width, double height);
    std::optional<UpRect> statusBottomCenterFrame() const;
    double transcriptHeight();
    void setFrame(OverlayPanel* panel, const UpRect& frame);
    std::optional<UpRect> frameOf(OverlayPanel* panel) const;

    AppState& state_;
    QPointer<QScreen> fixedScreen_;
    std::shared_ptr<platform::OverlaySurfaces> surfaces_;
    InputStatusOverlayModel model_;
    InputStatusStripView* stripView_ = nullptr;
    InputTranscriptPanelView* transcriptView_ = nullptr;
    OverlayPanel* statusPanel_ = nullptr;
    OverlayPanel* transcriptPanel_ = nullptr;
    QString transcriptScratchpad_;
    quint64 lastDictationNonce_ = 0;
    bool didInitialStatusPlacementThisCycle_ = false;
    bool transcriptDockedThisSession_ = false;
    bool appStateSyncInstalled_ = false;
    bool syncPosted_ = false;
    QString lastOverlayLayoutToken_;
};

} // namespace quillory
