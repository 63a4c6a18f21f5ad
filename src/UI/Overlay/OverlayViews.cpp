#include "UI/Overlay/OverlayViews.h"

#include "Runtime/Localization.h"
#include "UI/Overlay/InputStatusOverlayModel.h"

#include <QFrame>
#include <QGraphicsDropShadowEffect>
#include <QHBoxLayout>
#include <QLinearGradient>
#include <QPainter>
#include <QPainterPath>
#include <QScrollArea>
#include <QSvgRenderer>
#include <QToolButton>
#include <QVBoxLayout>

#include <chrono>
#include <cmath>

namespace quillory {

namespace {

constexpr double kCornerRadius = 14;

QColor withAlpha(QColor c, double alpha) {
    c.setAlphaF(float(alpha));
    return c;
}

QColor accentColor(const QWidget* w) {
    return w->palette().color(QPalette::Highlight);
}
QColor primaryColor(const QWidget* w) {
    return w->palette().color(QPalette::WindowText);
}
QColor secondaryColor(const QWidget* w) {
    return withAlpha(primaryColor(w), 0.62);
}
/// The translucent panel background (a light frosted look).
QColor materialColor(const QWidget* w) {
    return withAlpha(w->palette().color(QPalette::Window), 0.86);
}

/// An SVG from the resources drawn at `size`, every opaque pixel recoloured to `tint` (unless
/// the tint is invalid: then the SVG's own colours).
QIcon svgIcon(const QString& path, QSize size, QColor tint = QColor()) {
    const qreal dpr = 2.0; // crisp on high-density screens; Qt scales down elsewhere
    QPixmap pixmap(size * dpr);
    pixmap.setDevicePixelRatio(dpr);
    pixmap.fill(Qt::transparent);
    QSvgRenderer renderer(path);
    QPainter p(&pixmap);
    renderer.render(&p, QRectF(QPointF(0, 0), QSizeF(size)));
    if (tint.isValid()) {
        p.setCompositionMode(QPainter::CompositionMode_SourceIn);
        p.fillRect(QRectF(QPointF(0, 0), QSizeF(size)), tint);
    }
    p.end();
    return QIcon(pixmap);
}

QToolButton* overlayButton(QWidget* parent) {
    auto* b = new QToolButton(parent);
    b->setAutoRaise(true);
    b->setFocusPolicy(Qt::NoFocus);
    b->setIconSize(QSize(20, 20));
    b->setFixedSize(24, 24);
    b->setCursor(Qt::ArrowCursor);
    b->setStyleSheet(QStringLiteral("QToolButton { border: none; background: transparent; padding: 0; }"));
    return b;
}

QFont scaledFont(const QFont& base, double factor, QFont::Weight weight) {
    QFont f = base;
    if (f.pointSizeF() > 0) {
        f.setPointSizeF(f.pointSizeF() * factor);
    } else {
        f.setPixelSize(std::max(1, int(std::lround(f.pixelSize() * factor))));
    }
    f.setWeight(weight);
    return f;
}

double monotonicSeconds() {
    return std::chrono::duration<double>(Scheduler::current().monotonicNow()).count();
}

} // namespace

// ---- QuilloryAIBadge ----

QuilloryAIBadge::QuilloryAIBadge(const QString& text, QWidget* parent) : QWidget(parent), text_(text) {
    setFont(scaledFont(font(), 0.8, QFont::DemiBold));
    setAttribute(Qt::WA_TranslucentBackground);
    setFocusPolicy(Qt::NoFocus);
    setAccessibleName(text_);
    setSizePolicy(QSizePolicy::Fixed, QSizePolicy::Fixed);
}

void QuilloryAIBadge::setText(const QString& text) {
    if (text == text_) {
        return;
    }
    text_ = text;
    setAccessibleName(text_);
    updateGeometry();
    update();
}

QSize QuilloryAIBadge::sizeHint() const {
    const QFontMetrics fm(font());
    return {fm.horizontalAdvance(text_) + 16, fm.height() + 8};
}

void QuilloryAIBadge::paintEvent(QPaintEvent*) {
    QPainter p(this);
    p.setRenderHint(QPainter::Antialiasing);
    const QRectF capsule = QRectF(rect()).adjusted(0.5, 0.5, -0.5, -1.5);
    const double radius = capsule.height() / 2;
    // shadow: black 0.12, offset 0 / 1
    p.setPen(Qt::NoPen);
    p.setBrush(QColor(0, 0, 0, 31));
    p.drawRoundedRect(capsule.translated(0, 1), radius, radius);
    p.setBrush(withAlpha(accentColor(this), 0.28));
    p.setPen(QPen(withAlpha(accentColor(this), 0.85), 1));
    p.drawRoundedRect(capsule, radius, radius);
    p.setPen(palette().color(QPalette::WindowText));
    p.drawText(capsule, Qt::AlignCenter, text_);
}

// ---- OverlayWaveform ----

OverlayWaveform::OverlayWaveform(QWidget* parent) : QWidget(parent) {
    setFixedSize(32, 32);
    setAttribute(Qt::WA_TranslucentBackground);
    // Decorative: the strip's accessible summary says what is going on.
    setAccessibleName(QString());
}

double OverlayWaveform::pulse(double t) {
    return (std::sin(6.5 * t) + 1) / 2;
}

double OverlayWaveform::verticalScale() const {
    return live_ ? 0.82 + 0.42 * phase_ : 1.0;
}

double OverlayWaveform::opacity() const {
    return live_ ? 0.82 + 0.18 * phase_ : 0.72;
}

void OverlayWaveform::setLive(bool live) {
    if (live == live_) {
        return;
    }
    live_ = live;
    if (live_) {
        frame();
        frameTimer_ = Timer::repeating(seconds(1.0 / kMaxFramesPerSecond), [this] { frame(); });
    } else {
        frameTimer_.stop();
        phase_ = 0;
        update();
    }
}

void OverlayWaveform::frame() {
    phase_ = pulse(monotonicSeconds());
    ++frameCount_;
    update();
}

void OverlayWaveform::paintEvent(QPaintEvent*) {
    QPainter p(this);
    p.setRenderHint(QPainter::Antialiasing);
    // Two tones: the middle bars in the primary tone, the outer ones in the secondary tone.
    const QColor primaryTone = live_ ? QColor::fromRgbF(0.18f, 0.82f, 0.95f) : QColor::fromRgbF(0.42f, 0.72f, 0.82f);
    const QColor secondaryTone = live_ ? QColor::fromRgbF(0.03f, 0.46f, 0.82f) : withAlpha(secondaryColor(this), 0.72);
    p.setOpacity(opacity());
    p.translate(width() / 2.0, height() / 2.0);
    if (live_) {
        p.scale(1.08, verticalScale());
    }
    const double barWidth = live_ ? 3.0 : 2.4; // bold while live, semibold when still
    constexpr double heights[] = {0.30, 0.62, 1.0, 0.74, 0.42};
    constexpr double full = 20;
    for (int i = 0; i < 5; ++i) {
        const double h = heights[i] * full;
        const double x = (i - 2) * 5.0;
        p.setPen(Qt::NoPen);
        p.setBrush(i >= 1 && i <= 3 ? primaryTone : secondaryTone);
        p.drawRoundedRect(QRectF(x - barWidth / 2, -h / 2, barWidth, h), barWidth / 2, barWidth / 2);
    }
}

// ---- OverlayElidedLabel ----

QString OverlayElidedLabel::shownText() const {
    return fontMetrics().elidedText(text(), Qt::ElideRight, contentsRect().width());
}

void OverlayElidedLabel::paintEvent(QPaintEvent*) {
    QPainter p(this);
    p.setPen(palette().color(QPalette::WindowText));
    p.setFont(font());
    p.drawText(contentsRect(), int(Qt::AlignLeft | Qt::AlignVCenter), shownText());
}

// ---- OverlaySpinner ----

OverlaySpinner::OverlaySpinner(QWidget* parent) : QWidget(parent) {
    setFixedSize(sizeHint());
    setAttribute(Qt::WA_TranslucentBackground);
}

void OverlaySpinner::showEvent(QShowEvent*) {
    timer_ = Timer::repeating(seconds(1.0 / 12), [this] {
        angle_ = (angle_ + 30) % 360;
        update();
    });
}

void OverlaySpinner::hideEvent(QHideEvent*) {
    timer_.stop();
}

void OverlaySpinner::paintEvent(QPaintEvent*) {
    QPainter p(this);
    p.setRenderHint(QPainter::Antialiasing);
    const QRectF r = QRectF(rect()).adjusted(2, 2, -2, -2);
    p.setPen(QPen(withAlpha(accentColor(this), 0.25), 1.8));
    p.drawEllipse(r);
    p.setPen(QPen(accentColor(this), 1.8, Qt::SolidLine, Qt::RoundCap));
    p.drawArc(r, -angle_ * 16, 100 * 16);
}

// ---- InputStatusStripView ----

InputStatusStripView::InputStatusStripView(InputStatusOverlayModel& model, QWidget* parent)
    : QWidget(parent), model_(model) {
    setFixedSize(308, 48);
    setAttribute(Qt::WA_TranslucentBackground);
    setFocusPolicy(Qt::NoFocus);

    auto* row = new QHBoxLayout(this);
    row->setContentsMargins(14, 7, 14, 7);
    row->setSpacing(10);

    auto* text = new QWidget(this);
    auto* textRow = new QHBoxLayout(text);
    textRow->setContentsMargins(0, 0, 0, 0);
    textRow->setSpacing(8);
    title_ = new QLabel(text);
    title_->setFont(scaledFont(font(), 1.0, QFont::DemiBold));
    title_->setTextFormat(Qt::PlainText);
    textRow->addWidget(title_);

    polishingRow_ = new QWidget(text);
    auto* polishingLayout = new QHBoxLayout(polishingRow_);
    polishingLayout->setContentsMargins(0, 0, 0, 0);
    polishingLayout->setSpacing(6);
    polishingBadge_ = new QuilloryAIBadge({}, polishingRow_);
    polishingLayout->addWidget(polishingBadge_);
    polishingLayout->addWidget(new OverlaySpinner(polishingRow_));
    textRow->addWidget(polishingRow_);

    aiBadge_ = new QuilloryAIBadge({}, text);
    textRow->addWidget(aiBadge_);

    caption_ = new OverlayElidedLabel(text);
    caption_->setFont(scaledFont(font(), 0.85, QFont::Normal));
    caption_->setTextFormat(Qt::PlainText);
    caption_->setMinimumWidth(1);
    caption_->setSizePolicy(QSizePolicy::Ignored, QSizePolicy::Preferred);
    textRow->addWidget(caption_, 1);
    textRow->addStretch(0);
    row->addWidget(text, 1);

    waveform_ = new OverlayWaveform(this);
    row->addWidget(waveform_);

    cancel_ = overlayButton(this);
    cancel_->setIcon(svgIcon(QStringLiteral(":/quillory/icons/overlay-cancel.svg"), QSize(20, 20)));
    connect(cancel_, &QToolButton::clicked, this, &InputStatusStripView::cancelRequested);
    row->addWidget(cancel_);

    dismiss_ = overlayButton(this);
    dismiss_->setIcon(svgIcon(QStringLiteral(":/quillory/icons/overlay-cancel.svg"), QSize(20, 20)));
    connect(dismiss_, &QToolButton::clicked, this, &InputStatusStripView::dismissRequested);
    row->addWidget(dismiss_);

    // While recording the × discards; the strip then offers the undo for a few seconds.
    discard_ = overlayButton(this);
    discard_->setObjectName(QStringLiteral("overlayDiscard"));
    discard_->setIcon(svgIcon(QStringLiteral(":/quillory/icons/overlay-cancel.svg"), QSize(20, 20)));
    connect(discard_, &QToolButton::clicked, this, &InputStatusStripView::discardRequested);
    row->addWidget(discard_);
    undo_ = new QToolButton(this);
    undo_->setObjectName(QStringLiteral("overlayUndo"));
    undo_->setToolButtonStyle(Qt::ToolButtonTextOnly);
    undo_->setFocusPolicy(Qt::NoFocus);
    connect(undo_, &QToolButton::clicked, this, &InputStatusStripView::undoRequested);
    row->addWidget(undo_);

    transcript_ = overlayButton(this);
    connect(transcript_, &QToolButton::clicked, this, &InputStatusStripView::transcriptToggleRequested);
    row->addWidget(transcript_);

    connect(&model_, &InputStatusOverlayModel::changed, this, &InputStatusStripView::refresh);
    refresh();
}

void InputStatusStripView::refresh() {
    const bool live = model_.isLiveVoice();
    // Texts are looked up at each refresh so a language change shows on the next state change.
    title_->setText(model_.primaryTitle());
    QPalette titlePalette = title_->palette();
    titlePalette.setColor(QPalette::WindowText, live ? QColor(Qt::white) : primaryColor(this));
    title_->setPalette(titlePalette);
    // One line, shrinking to 88 % before it is cut.
    const QFont headline = scaledFont(font(), 1.0, QFont::DemiBold);
    const int room = 308 - 28 - (model_.showsWaveformSlot() ? 42 : 0) -
                     34 * (1 + model_.isProcessingPhase() + model_.showsErrorDismiss() + model_.showsDiscard()) -
                     (model_.showsUndo() ? 70 : 0);
    title_->setFont(QFontMetrics(headline).horizontalAdvance(model_.primaryTitle()) > room
                        ? scaledFont(font(), 0.88, QFont::DemiBold)
                        : headline);

    polishingBadge_->setText(L("overlay.badge.polishing"));
    polishingRow_->setVisible(model_.showAiPolishPolishingBadge());
    aiBadge_->setText(L("overlay.badge.ai"));
    aiBadge_->setVisible(model_.showAiFeatureBadge());

    const QString caption = model_.pipelineCaption();
    caption_->setVisible(!caption.isEmpty());
    caption_->setToolTip(caption);
    caption_->setText(caption);
    QPalette captionPalette = caption_->palette();
    captionPalette.setColor(QPalette::WindowText, live ? withAlpha(Qt::white, 0.9) : secondaryColor(this));
    caption_->setPalette(captionPalette);

    waveform_->setVisible(model_.showsWaveformSlot());
    waveform_->setLive(model_.showsWaveformSlot() && model_.waveformInputActive());

    cancel_->setVisible(model_.isProcessingPhase());
    cancel_->setAccessibleName(L("overlay.cancel_commit.a11y"));
    cancel_->setToolTip(L("overlay.cancel_commit.help"));
    dismiss_->setVisible(model_.showsErrorDismiss());
    dismiss_->setAccessibleName(L("menu.dismiss_error"));
    dismiss_->setToolTip(L("overlay.dismiss_error.help"));
    discard_->setVisible(model_.showsDiscard());
    discard_->setAccessibleName(L("overlay.discard.a11y"));
    discard_->setToolTip(L("overlay.discard.help"));
    undo_->setVisible(model_.showsUndo());
    undo_->setText(L("overlay.undo"));
    undo_->setAccessibleName(L("overlay.undo"));

    const QColor toggleTint = live ? withAlpha(Qt::white, 0.95) : primaryColor(this);
    transcript_->setIcon(svgIcon(model_.transcriptPanelOpen() ? QStringLiteral(":/quillory/icons/overlay-transcript-open.svg")
                                                              : QStringLiteral(":/quillory/icons/overlay-transcript.svg"),
                                 QSize(20, 20), toggleTint));
    transcript_->setAccessibleName(L("overlay.transcript_toggle.a11y"));
    transcript_->setToolTip(L("overlay.transcript_toggle.a11y"));

    setAccessibleName(model_.accessibilitySummary());
    update();
}

void InputStatusStripView::paintEvent(QPaintEvent*) {
    QPainter p(this);
    p.setRenderHint(QPainter::Antialiasing);
    const bool live = model_.isLiveVoice();
    const QRectF body = QRectF(rect()).adjusted(0.75, 0.75, -0.75, -0.75);
    QPainterPath shape;
    shape.addRoundedRect(body, kCornerRadius, kCornerRadius);
    p.fillPath(shape, materialColor(this));
    const QColor accent = accentColor(this);
    if (live) {
        QLinearGradient gradient(body.topLeft(), body.bottomRight());
        gradient.setColorAt(0, withAlpha(accent, 0.92));
        gradient.setColorAt(1, withAlpha(accent, 0.68));
        p.fillPath(shape, gradient);
    } else if (model_.showsWaveformSlot()) {
        p.fillPath(shape, withAlpha(accent, 0.22));
    }
    const double line = live ? 1.5 : 1.0;
    p.setPen(QPen(live ? withAlpha(Qt::white, 0.35) : withAlpha(primaryColor(this), 0.12), line));
    p.setBrush(Qt::NoBrush);
    const QRectF inner = QRectF(rect()).adjusted(line / 2, line / 2, -line / 2, -line / 2);
    p.drawRoundedRect(inner, kCornerRadius, kCornerRadius);
}

// ---- InputTranscriptPanelView ----

InputTranscriptPanelView::InputTranscriptPanelView(InputStatusOverlayModel& model, QWidget* parent)
    : QWidget(parent), model_(model) {
    setFixedWidth(kWidth);
    setAttribute(Qt::WA_TranslucentBackground);
    setFocusPolicy(Qt::NoFocus);
    auto* column = new QVBoxLayout(this);
    column->setContentsMargins(14, 14, 14, 14);
    column->setSpacing(10);
    column->setSizeConstraint(QLayout::SetNoConstraint);

    title_ = new QLabel(this);
    title_->setFont(scaledFont(font(), 0.95, QFont::DemiBold));
    column->addWidget(title_);

    auto* separator = new QFrame(this);
    separator->setFixedHeight(1);
    separator->setAutoFillBackground(true);
    QPalette sepPalette = separator->palette();
    sepPalette.setColor(QPalette::Window, withAlpha(primaryColor(this), 0.15));
    separator->setPalette(sepPalette);
    column->addWidget(separator);

    scroll_ = new QScrollArea(this);
    scroll_->setFrameShape(QFrame::NoFrame);
    scroll_->setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
    scroll_->setVerticalScrollBarPolicy(Qt::ScrollBarAsNeeded);
    scroll_->setWidgetResizable(true);
    scroll_->setFocusPolicy(Qt::NoFocus);
    scroll_->viewport()->setAutoFillBackground(false);
    body_ = new QLabel(scroll_);
    body_->setWordWrap(true);
    body_->setTextFormat(Qt::PlainText);
    body_->setAlignment(Qt::AlignLeft | Qt::AlignTop);
    body_->setTextInteractionFlags(Qt::TextSelectableByMouse);
    body_->setFocusPolicy(Qt::NoFocus);
    body_->setAutoFillBackground(false);
    scroll_->setWidget(body_);
    column->addWidget(scroll_);

    connect(&model_, &InputStatusOverlayModel::transcriptBodyChanged, this, &InputTranscriptPanelView::refresh);
    refresh();
}

void InputTranscriptPanelView::refresh() {
    title_->setText(L("overlay.transcript_title"));
    body_->setText(model_.transcriptBody());
    const int textHeight = body_->heightForWidth(kTextWidth);
    scroll_->setFixedHeight(std::clamp(textHeight, kMinScrollHeight, kMaxScrollHeight));
    setAccessibleName(title_->text() + QStringLiteral(": ") + model_.transcriptBody());
    update();
}

int InputTranscriptPanelView::fittingHeight() {
    refresh();
    const QMargins m = layout()->contentsMargins();
    return m.top() + title_->sizeHint().height() + 10 + 1 + 10 + scroll_->height() + m.bottom();
}

void InputTranscriptPanelView::paintEvent(QPaintEvent*) {
    QPainter p(this);
    p.setRenderHint(QPainter::Antialiasing);
    QPainterPath shape;
    shape.addRoundedRect(QRectF(rect()).adjusted(0.5, 0.5, -0.5, -0.5), kCornerRadius, kCornerRadius);
    p.fillPath(shape, materialColor(this));
    p.setPen(QPen(withAlpha(primaryColor(this), 0.12), 1));
    p.drawPath(shape);
}

} // namespace quillory
