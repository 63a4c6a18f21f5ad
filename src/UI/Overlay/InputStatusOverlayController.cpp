#include "UI/Overlay/InputStatusOverlayController.h"

#include "App/AppState.h"
#include "Runtime/Localization.h"
#include "Runtime/Scheduler.h"
#include "UI/Overlay/OverlayPanel.h"
#include "UI/Overlay/OverlayViews.h"

#include <QGuiApplication>

static void initOverlayResources() {
    Q_INIT_RESOURCE(UiResources);
}

namespace quillory {

namespace {
InputStatusOverlayController* g_shared = nullptr;
}

InputStatusOverlayController::InputStatusOverlayController(AppState& state, QScreen* screen, QObject* parent,
                                                           std::shared_ptr<platform::OverlaySurfaces> surfaces)
    : QObject(parent), state_(state), fixedScreen_(screen), surfaces_(std::move(surfaces)) {
    initOverlayResources();
    const auto surfaceFor = [this](const QString& name) {
        return surfaces_ ? surfaces_->createSurface(name) : nullptr;
    };
    stripView_ = new InputStatusStripView(model_);
    statusPanel_ = new OverlayPanel(kInputStatusPanelIdentifier, stripView_, surfaceFor(kInputStatusPanelIdentifier));
    transcriptView_ = new InputTranscriptPanelView(model_);
    transcriptPanel_ = new OverlayPanel(kInputTranscriptPanelIdentifier, transcriptView_,
                                        surfaceFor(kInputTranscriptPanelIdentifier));

    if (const auto strip = statusBottomCenterFrame()) {
        setFrame(statusPanel_, *strip);
        setFrame(transcriptPanel_, OverlayLayout::transcriptAbove(*strip, OverlayLayout::kTranscriptMinHeight));
    } else {
        statusPanel_->resize(int(OverlayLayout::kStripWidth), int(OverlayLayout::kStripHeight));
        transcriptPanel_->resize(int(OverlayLayout::kTranscriptWidth), int(OverlayLayout::kTranscriptMinHeight));
    }
    statusPanel_->orderOut();
    transcriptPanel_->orderOut();

    connect(stripView_, &InputStatusStripView::cancelRequested, this, [this] { state_.cancelCommitProcessing(); });
    connect(stripView_, &InputStatusStripView::dismissRequested, this, [this] { state_.dismissError(); });
    connect(stripView_, &InputStatusStripView::discardRequested, this, [this] { state_.discardRecording(); });
    connect(stripView_, &InputStatusStripView::undoRequested, this, [this] { state_.undoDiscard(); });
    connect(stripView_, &InputStatusStripView::transcriptToggleRequested, this,
            &InputStatusOverlayController::toggleTranscriptPanel);
    g_shared = this;
}

InputStatusOverlayController::~InputStatusOverlayController() {
    if (g_shared == this) {
        g_shared = nullptr;
    }
    delete statusPanel_;
    delete transcriptPanel_;
}

InputStatusOverlayController* InputStatusOverlayController::shared() {
    return g_shared;
}

QScreen* InputStatusOverlayController::screen() const {
    if (fixedScreen_) {
        return fixedScreen_;
    }
    if (QScreen* primary = QGuiApplication::primaryScreen()) {
        return primary;
    }
    const auto screens = QGuiApplication::screens();
    return screens.isEmpty() ? nullptr : screens.first();
}

std::optional<ScreenSpace> InputStatusOverlayController::screenSpace() const {
    QScreen* s = screen();
    if (!s) {
        return std::nullopt;
    }
    return ScreenSpace(s->geometry(), s->availableGeometry());
}

void InputStatusOverlayController::startSyncingWithAppStateIfNeeded() {
    if (appStateSyncInstalled_) {
        return;
    }
    appStateSyncInstalled_ = true;
    for (auto signal : {&AppState::statusChanged, &AppState::partialTextChanged, &AppState::voiceInputDetectedChanged,
                        &AppState::dictationSessionNonceChanged, &AppState::speechCaptureReadyChanged,
                        &AppState::speechRecognitionDeliveredPartialChanged, &AppState::aiPolishInProgressChanged,
                        &AppState::aiPolishEnabledChanged, &AppState::awaitingRecognitionChanged,
                        &AppState::canUndoDiscardChanged}) {
        connect(&state_, signal, this, &InputStatusOverlayController::scheduleSync);
    }
    sync();
}

void InputStatusOverlayController::scheduleSync() {
    // Changes that arrive together are projected once, on the next turn of the main loop.
    if (syncPosted_) {
        return;
    }
    syncPosted_ = true;
    QPointer<InputStatusOverlayController> self(this);
    Scheduler::current().post([self] {
        if (self) {
            self->syncPosted_ = false;
            self->sync();
        }
    });
}

void InputStatusOverlayController::sync() {
    model_.setAiPolishEnabled(state_.aiPolishEnabled());
    if (!model_.transcriptPanelOpen()) {
        transcriptPanel_->orderOut();
    }
    const AppStatus& status = state_.status();
    switch (status.kind()) {
    case AppStatus::Kind::recording:
        if (state_.dictationSessionNonce() != lastDictationNonce_) {
            transcriptScratchpad_.clear();
            lastDictationNonce_ = state_.dictationSessionNonce();
            model_.setTranscriptBody(QString());
        }
        model_.setPrimaryTitle(L("overlay.inputting"));
        model_.setPipelineCaption(QString());
        model_.setIsProcessingPhase(false);
        model_.setShowAiPolishPolishingBadge(false);
        model_.setShowsErrorDismiss(false);
        model_.setShowsWaveformSlot(true);
        model_.setWaveformInputActive(state_.voiceInputDetected());
        model_.setShowsDiscard(true);
        model_.setShowsUndo(false);
        break;
    case AppStatus::Kind::processing:
        model_.setPrimaryTitle(L("overlay.processing_short"));
        // A long dictation's last words can take a while on a slow machine: say what is awaited.
        model_.setPipelineCaption(state_.awaitingRecognition() ? L("overlay.caption.recognising") : QString());
        model_.setIsProcessingPhase(true);
        model_.setShowAiPolishPolishingBadge(state_.aiPolishInProgress());
        model_.setShowsErrorDismiss(false);
        model_.setShowsWaveformSlot(false);
        model_.setWaveformInputActive(false);
        model_.setShowsDiscard(false);
        model_.setShowsUndo(false);
        break;
    case AppStatus::Kind::error:
        model_.setPrimaryTitle(L("overlay.error_banner"));
        model_.setPipelineCaption(status.message());
        model_.setIsProcessingPhase(false);
        model_.setShowAiPolishPolishingBadge(false);
        model_.setShowsErrorDismiss(true);
        model_.setShowsWaveformSlot(false);
        model_.setWaveformInputActive(false);
        model_.setShowsDiscard(false);
        model_.setShowsUndo(false);
        break;
    case AppStatus::Kind::idle:
        transcriptScratchpad_.clear();
        model_.setTranscriptBody(QString());
        model_.setTranscriptPanelOpen(false);
        model_.setPrimaryTitle(QString());
        model_.setPipelineCaption(QString());
        model_.setShowsWaveformSlot(false);
        model_.setWaveformInputActive(false);
        model_.setIsProcessingPhase(false);
        model_.setShowAiPolishPolishingBadge(false);
        model_.setShowsErrorDismiss(false);
        model_.setShowsDiscard(false);
        if (state_.canUndoDiscard()) {
            // "Discarded · Undo" stays where the strip was for the undo's few seconds.
            model_.setPrimaryTitle(L("overlay.discarded"));
            model_.setShowsUndo(true);
            lastOverlayLayoutToken_ = overlayLayoutToken();
            transcriptPanel_->orderOut();
            if (screen()) statusPanel_->orderFront();
            return;
        }
        model_.setShowsUndo(false);
        didInitialStatusPlacementThisCycle_ = false;
        transcriptDockedThisSession_ = false;
        lastOverlayLayoutToken_ = overlayLayoutToken();
        statusPanel_->orderOut();
        transcriptPanel_->orderOut();
        return;
    }
    updateTranscriptScratchpad();
    reconcileOverlayPanels(true);
}

void InputStatusOverlayController::updateTranscriptScratchpad() {
    const QString& partial = state_.partialText();
    if (!partial.trimmed().isEmpty()) {
        transcriptScratchpad_ = partial;
    }
}

QString InputStatusOverlayController::overlayLayoutToken() const {
    const AppStatus& status = state_.status();
    QString phase;
    switch (status.kind()) {
    case AppStatus::Kind::idle:
        phase = QStringLiteral("idle");
        break;
    case AppStatus::Kind::recording:
        phase = QStringLiteral("rec-") + QString::number(state_.dictationSessionNonce());
        break;
    case AppStatus::Kind::processing:
        phase = QStringLiteral("proc-") + QString::number(state_.dictationSessionNonce());
        break;
    case AppStatus::Kind::error:
        phase = QStringLiteral("err");
        break;
    }
    return phase + QStringLiteral("-tr") + (model_.transcriptPanelOpen() ? QStringLiteral("true") : QStringLiteral("false"));
}

void InputStatusOverlayController::reconcileOverlayPanels(bool syncTranscriptBody) {
    if (!screen()) {
        return; // nowhere to show the overlay
    }
    const QString token = overlayLayoutToken();
    if (token != lastOverlayLayoutToken_) {
        lastOverlayLayoutToken_ = token;
        if (!didInitialStatusPlacementThisCycle_) {
            if (const auto frame = statusBottomCenterFrame()) {
                setFrame(statusPanel_, *frame);
            }
            didInitialStatusPlacementThisCycle_ = true;
        }
        statusPanel_->orderFront();
        if (model_.transcriptPanelOpen() && syncTranscriptBody) {
            model_.setTranscriptBody(transcriptScratchpad_);
            syncTranscriptPanelLayout(true);
        }
        return;
    }
    if (model_.transcriptPanelOpen() && syncTranscriptBody) {
        model_.setTranscriptBody(transcriptScratchpad_);
    }
    if (model_.transcriptPanelOpen()) {
        if (!transcriptDockedThisSession_) {
            layoutTranscriptAboveStatusInitial();
            transcriptDockedThisSession_ = true;
        } else {
            layoutTranscriptResizeKeepingOrigin();
        }
    }
}

void InputStatusOverlayController::syncTranscriptPanelLayout(bool orderFront) {
    if (!model_.transcriptPanelOpen()) {
        return;
    }
    if (transcriptDockedThisSession_) {
        layoutTranscriptResizeKeepingOrigin();
    } else {
        layoutTranscriptAboveStatusInitial();
        transcriptDockedThisSession_ = true;
    }
    if (orderFront && screen()) {
        transcriptPanel_->orderFront();
    }
}

double InputStatusOverlayController::transcriptHeight() {
    return OverlayLayout::clampTranscriptHeight(transcriptView_->fittingHeight());
}

void InputStatusOverlayController::layoutTranscriptAboveStatusInitial() {
    const double height = transcriptHeight();
    const auto strip = frameOf(statusPanel_);
    if (strip && OverlayLayout::stripIsSane(*strip)) {
        setFrame(transcriptPanel_, OverlayLayout::transcriptAbove(*strip, height));
    } else {
        layoutTranscriptFallbackBottomCenter(OverlayLayout::kTranscriptWidth, height);
    }
}

void InputStatusOverlayController::layoutTranscriptResizeKeepingOrigin() {
    const double height = transcriptHeight();
    const auto current = frameOf(transcriptPanel_);
    if (!current) {
        return;
    }
    // The bottom-left corner stays, so the panel grows upward.
    setFrame(transcriptPanel_, UpRect{current->x, current->y, OverlayLayout::kTranscriptWidth, height});
}

void InputStatusOverlayController::layoutTranscriptFallbackBottomCenter(double width, double height) {
    if (const auto space = screenSpace()) {
        setFrame(transcriptPanel_, OverlayLayout::transcriptFallback(space->visibleFrame(), width, height));
    }
}

std::optional<UpRect> InputStatusOverlayController::statusBottomCenterFrame() const {
    const auto space = screenSpace();
    if (!space) {
        return std::nullopt;
    }
    return OverlayLayout::stripDefault(space->visibleFrame());
}

void InputStatusOverlayController::setFrame(OverlayPanel* panel, const UpRect& frame) {
    if (const auto space = screenSpace()) {
        const QRect rect = space->toQt(frame);
        panel->setFixedSize(rect.size());
        panel->setGeometry(rect);
    }
}

std::optional<UpRect> InputStatusOverlayController::frameOf(OverlayPanel* panel) const {
    const auto space = screenSpace();
    if (!space) {
        return std::nullopt;
    }
    return space->fromQt(panel->geometry());
}

void InputStatusOverlayController::toggleTranscriptPanel() {
    model_.setTranscriptPanelOpen(!model_.transcriptPanelOpen());
    if (!model_.transcriptPanelOpen()) {
        model_.setTranscriptBody(QString());
        transcriptPanel_->orderOut();
        return;
    }
    model_.setTranscriptBody(transcriptScratchpad_);
    transcriptDockedThisSession_ = false;
    syncTranscriptPanelLayout(true);
}

} // namespace quillory
