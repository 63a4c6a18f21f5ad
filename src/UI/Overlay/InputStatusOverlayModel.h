#pragma once

#include <QObject>
#include <QString>

namespace quillory {

/// What the overlay panels show, projected from the application state by
/// `InputStatusOverlayController`. Main thread only. Every field has a `...Changed` signal that
/// fires only on a real change (an equal assignment notifies nobody).
class InputStatusOverlayModel : public QObject {
    Q_OBJECT

public:
    using QObject::QObject;

    /// Headline of the strip (a display text).
    const QString& primaryTitle() const { return primaryTitle_; }
    /// Secondary text after the headline: the error message in the error state, else empty.
    const QString& pipelineCaption() const { return pipelineCaption_; }
    /// The strip shows the waveform (recording).
    bool showsWaveformSlot() const { return showsWaveformSlot_; }
    /// Voice is detected right now (animates the waveform, live look).
    bool waveformInputActive() const { return waveformInputActive_; }
    /// The text of the transcript panel.
    const QString& transcriptBody() const { return transcriptBody_; }
    /// The user has opened the transcript panel.
    bool transcriptPanelOpen() const { return transcriptPanelOpen_; }
    /// Mirror of the polishing setting.
    bool aiPolishEnabled() const { return aiPolishEnabled_; }
    /// The commit is running (cancel button).
    bool isProcessingPhase() const { return isProcessingPhase_; }
    /// The local model is polishing right now.
    bool showAiPolishPolishingBadge() const { return showAiPolishPolishingBadge_; }
    /// The error state is shown (dismiss button).
    bool showsErrorDismiss() const { return showsErrorDismiss_; }
    /// Recording: the × discards the recording.
    bool showsDiscard() const { return showsDiscard_; }
    /// A discarded recording can be brought back (the Undo button).
    bool showsUndo() const { return showsUndo_; }

    // ---- derived values the strip draws from ----
    bool isLiveVoice() const { return showsWaveformSlot_ && waveformInputActive_; }
    bool showAiFeatureBadge() const {
        return aiPolishEnabled_ && (showsWaveformSlot_ || isProcessingPhase_) && !showAiPolishPolishingBadge_;
    }
    /// The headline, the shown badges' texts and the caption, joined by single spaces.
    QString accessibilitySummary() const;

    void setPrimaryTitle(const QString& v) { assign(primaryTitle_, v, &InputStatusOverlayModel::primaryTitleChanged); }
    void setPipelineCaption(const QString& v) {
        assign(pipelineCaption_, v, &InputStatusOverlayModel::pipelineCaptionChanged);
    }
    void setShowsWaveformSlot(bool v) { assign(showsWaveformSlot_, v, &InputStatusOverlayModel::showsWaveformSlotChanged); }
    void setWaveformInputActive(bool v) {
        assign(waveformInputActive_, v, &InputStatusOverlayModel::waveformInputActiveChanged);
    }
    void setTranscriptBody(const QString& v) { assign(transcriptBody_, v, &InputStatusOverlayModel::transcriptBodyChanged); }
    void setTranscriptPanelOpen(bool v) {
        assign(transcriptPanelOpen_, v, &InputStatusOverlayModel::transcriptPanelOpenChanged);
    }
    void setAiPolishEnabled(bool v) { assign(aiPolishEnabled_, v, &InputStatusOverlayModel::aiPolishEnabledChanged); }
    void setIsProcessingPhase(bool v) { assign(isProcessingPhase_, v, &InputStatusOverlayModel::isProcessingPhaseChanged); }
    void setShowAiPolishPolishingBadge(bool v) {
        assign(showAiPolishPolishingBadge_, v, &InputStatusOverlayModel::showAiPolishPolishingBadgeChanged);
    }
    void setShowsErrorDismiss(bool v) { assign(showsErrorDismiss_, v, &InputStatusOverlayModel::showsErrorDismissChanged); }
    void setShowsDiscard(bool v) { assign(showsDiscard_, v, &InputStatusOverlayModel::showsDiscardChanged); }
    void setShowsUndo(bool v) { assign(showsUndo_, v, &InputStatusOverlayModel::showsUndoChanged); }

signals:
    void primaryTitleChanged();
    void pipelineCaptionChanged();
    void showsWaveformSlotChanged();
    void waveformInputActiveChanged();
    void transcriptBodyChanged();
    void transcriptPanelOpenChanged();
    void aiPolishEnabledChanged();
    void isProcessingPhaseChanged();
    void showAiPolishPolishingBadgeChanged();
    void showsErrorDismissChanged();
    void showsDiscardChanged();
    void showsUndoChanged();
    /// After any of the above.
    void changed();

private:
    template <typename T>
    void assign(T& field, const T& value, void (InputStatusOverlayModel::*signal)()) {
        if (field == value) {
            return;
        }
        field = value;
        emit(this->*signal)();
        emit changed();
    }

    QString primaryTitle_;
    QString pipelineCaption_;
    bool showsWaveformSlot_ = false;
    bool waveformInputActive_ = false;
    QString transcriptBody_;
    bool transcriptPanelOpen_ = false;
    bool aiPolishEnabled_ = false;
    bool isProcessingPhase_ = false;
    bool showAiPolishPolishingBadge_ = false;
    bool showsErrorDismiss_ = false;
    bool showsDiscard_ = false;
    bool showsUndo_ = false;
};

} // namespace quillory
