#pragma once

#include "Runtime/Scheduler.h"

#include <QLabel>
#include <QWidget>

class QHBoxLayout;
class QScrollArea;
class QToolButton;

namespace quillory {

class InputStatusOverlayModel;

/// A small capsule label ("AI", "AI polishing"): caption-sized semibold text on an accent-tinted
/// capsule with an accent border. Used by the overlay and the settings tabs.
class QuilloryAIBadge : public QWidget {
    Q_OBJECT

public:
    explicit QuilloryAIBadge(const QString& text = {}, QWidget* parent = nullptr);
    void setText(const QString& text);
    QString text() const { return text_; }
    QSize sizeHint() const override;
    QSize minimumSizeHint() const override { return sizeHint(); }

protected:
    void paintEvent(QPaintEvent*) override;

private:
    QString text_;
};

/// The recording indicator: a waveform symbol. While voice is live it pulses, redrawn at most 24
/// times a second from the scheduler's clock; otherwise it is still and nothing is scheduled.
class OverlayWaveform : public QWidget {
    Q_OBJECT

public:
    static constexpr double kMaxFramesPerSecond = 24;

    explicit OverlayWaveform(QWidget* parent = nullptr);
    void setLive(bool live);
    bool isLive() const { return live_; }
    bool isAnimating() const { return frameTimer_.isActive(); }
    /// Animation frames started so far (each a repaint request).
    int frameCount() const { return frameCount_; }
    /// The pulse p = (sin(6.5 t) + 1) / 2 for t seconds.
    static double pulse(double t);
    /// The vertical scale and the opacity at the current frame (1 and 0.72 when still).
    double verticalScale() const;
    double opacity() const;

protected:
    void paintEvent(QPaintEvent*) override;

private:
    void frame();
    bool live_ = false;
    double phase_ = 0; // the pulse of the current frame
    int frameCount_ = 0;
    Timer frameTimer_;
};

/// A one-line label that cuts its text at the tail with an ellipsis when it does not fit.
class OverlayElidedLabel : public QLabel {
    Q_OBJECT

public:
    using QLabel::QLabel;
    /// The text as drawn at the current width.
    QString shownText() const;

protected:
    void paintEvent(QPaintEvent*) override;
};

/// A small indeterminate progress ring (shown with the polishing badge), turning while visible.
class OverlaySpinner : public QWidget {
    Q_OBJECT

public:
    explicit OverlaySpinner(QWidget* parent = nullptr);
    QSize sizeHint() const override { return {14, 14}; }

protected:
    void paintEvent(QPaintEvent*) override;
    void showEvent(QShowEvent*) override;
    void hideEvent(QHideEvent*) override;

private:
    int angle_ = 0;
    Timer timer_;
};

/// The strip: headline, badges, caption, waveform, cancel and dismiss buttons and the transcript
/// toggle, drawn from the model. The buttons only emit signals; the controller acts on them.
class InputStatusStripView : public QWidget {
    Q_OBJECT

public:
    explicit InputStatusStripView(InputStatusOverlayModel& model, QWidget* parent = nullptr);

    QLabel* titleLabel() const { return title_; }
    OverlayElidedLabel* captionLabel() const { return caption_; }
    QuilloryAIBadge* polishingBadge() const { return polishingBadge_; }
    QuilloryAIBadge* aiBadge() const { return aiBadge_; }
    OverlayWaveform* waveform() const { return waveform_; }
    QToolButton* cancelButton() const { return cancel_; }
    QToolButton* dismissButton() const { return dismiss_; }
    QToolButton* discardButton() const { return discard_; }
    QToolButton* undoButton() const { return undo_; }
    QToolButton* transcriptButton() const { return transcript_; }

signals:
    void cancelRequested();
    void dismissRequested();
    void discardRequested();
    void undoRequested();
    void transcriptToggleRequested();

protected:
    void paintEvent(QPaintEvent*) override;

private:
    void refresh();
    InputStatusOverlayModel& model_;
    QLabel* title_;
    QWidget* polishingRow_;
    QuilloryAIBadge* polishingBadge_;
    QuilloryAIBadge* aiBadge_;
    OverlayElidedLabel* caption_;
    OverlayWaveform* waveform_;
    QToolButton* cancel_;
    QToolButton* dismiss_;
    QToolButton* discard_;
    QToolButton* undo_;
    QToolButton* transcript_;
};

/// The transcript panel's content: a title, a separator and the selectable, wrapping transcript
/// in a scroll area 120 … 300 high.
class InputTranscriptPanelView : public QWidget {
    Q_OBJECT

public:
    static constexpr int kWidth = 420;
    static constexpr int kTextWidth = 392;
    static constexpr int kMinScrollHeight = 120;
    static constexpr int kMaxScrollHeight = 300;

    explicit InputTranscriptPanelView(InputStatusOverlayModel& model, QWidget* parent = nullptr);
    /// The height the view needs for the current text (before the panel's clamping).
    int fittingHeight();
    QLabel* bodyLabel() const { return body_; }
    QScrollArea* scrollArea() const { return scroll_; }

protected:
    void paintEvent(QPaintEvent*) override;

private:
    void refresh();
    InputStatusOverlayModel& model_;
    QLabel* title_;
    QLabel* body_;
    QScrollArea* scroll_;
};

} // namespace quillory
