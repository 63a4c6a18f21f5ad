#include "UI/Settings/SettingsWidgets.h"

#include "UI/Settings/HelpPopoverButton.h"
#include "UI/Settings/SettingsLayout.h"

#include <QCoreApplication>
#include <QApplication>
#include <QEvent>
#include <QFontDatabase>
#include <QWheelEvent>
#include <QHBoxLayout>
#include <QPainter>
#include <QPainterPath>
#include <QScrollArea>
#include <QVBoxLayout>

static void initUiResources() {
    // The views library is static: its resources register on first use.
    Q_INIT_RESOURCE(UiResources);
}

namespace quillory {

namespace {
class WheelToPage : public QObject {
public:
    WheelToPage(QAbstractScrollArea* editor) : QObject(editor), editor_(editor) {}
    bool eventFilter(QObject*, QEvent* event) override {
        if (event->type() != QEvent::Wheel || editor_->hasFocus()) {
            return false;
        }
        // Handed straight to the page's scroll area: the editor does not scroll.
        for (QWidget* w = editor_->parentWidget(); w; w = w->parentWidget()) {
            if (auto* page = qobject_cast<QAbstractScrollArea*>(w)) {
                const auto* wheel = static_cast<QWheelEvent*>(event);
                const QPointF at = page->viewport()->mapFromGlobal(wheel->globalPosition());
                QWheelEvent forwarded(at, wheel->globalPosition(), wheel->pixelDelta(), wheel->angleDelta(),
                                      wheel->buttons(), wheel->modifiers(), wheel->phase(), wheel->inverted(),
                                      wheel->source());
                QCoreApplication::sendEvent(page->viewport(), &forwarded);
                return true;
            }
        }
        return false;
    }

private:
    QAbstractScrollArea* editor_;
};
} // namespace

void applyPreferredUiFont() {
    const QString noto = QStringLiteral("Noto Sans CJK JP");
    if (!QFontDatabase::families().contains(noto)) {
        return;
    }
    QFont font = QApplication::font();
    if (font.families().value(0) == noto) {
        return;
    }
    QStringList families = font.families();
    if (families.isEmpty()) {
        families << font.family();
    }
    families.prepend(noto);
    font.setFamilies(families);
    QApplication::setFont(font);
}

void passWheelToPageUnlessFocused(QAbstractScrollArea* editor) {
    editor->viewport()->installEventFilter(new WheelToPage(editor));
}

void ensureSettingsResources() {
    static const bool done = (initUiResources(), true);
    (void)done;
}

namespace {
QFont scaled(QFont font, double factor, int weight = -1) {
    if (font.pointSizeF() > 0) {
        font.setPointSizeF(font.pointSizeF() * factor);
    } else if (font.pixelSize() > 0) {
        font.setPixelSize(std::max(8, int(font.pixelSize() * factor)));
    }
    if (weight >= 0) {
        font.setWeight(QFont::Weight(weight));
    }
    return font;
}
} // namespace

QLabel* makeCaption(const QString& text, QWidget* parent, bool secondary) {
    auto* label = new QLabel(text, parent);
    label->setWordWrap(true);
    label->setFont(scaled(label->font(), 0.88));
    if (secondary) {
        SettingsPalette::setSecondaryText(label);
    }
    return label;
}

SettingsSection::SettingsSection(const QString& title, QWidget* parent) : QFrame(parent) {
    auto* outer = new QVBoxLayout(this);
    outer->setContentsMargins(0, 0, 0, 0);
    outer->setSpacing(4);
    header_ = new QHBoxLayout;
    header_->setContentsMargins(2, 0, 0, 0);
    title_ = new QLabel(title, this);
    title_->setFont(scaled(title_->font(), 1.0, QFont::DemiBold));
    header_->addWidget(title_);
    header_->addStretch(1);
    outer->addLayout(header_);

    auto* card = new QFrame(this);
    card->setObjectName(QStringLiteral("quillory.settings.card"));
    card->setFrameShape(QFrame::StyledPanel);
    card->setStyleSheet(QStringLiteral("QFrame#quillory\\.settings\\.card { border: 1px solid palette(mid);"
                                       " border-radius: %1px; background: palette(base); }")
                            .arg(SettingsLayout::cardCornerRadius));
    body_ = new QVBoxLayout(card);
    const int pad = SettingsLayout::cardInnerPadding;
    body_->setContentsMargins(pad, pad, pad, pad);
    body_->setSpacing(8);
    outer->addWidget(card);
}

void SettingsSection::addHeaderWidget(QWidget* widget) {
    widget->setParent(this);
    header_->addWidget(widget);
}

HelpPopoverButton* SettingsSection::addHelp(const QString& helpText) {
    auto* button = new HelpPopoverButton(helpText, this);
    addHeaderWidget(button);
    return button;
}

QLabel* SettingsSection::setFooter(const QString& text) {
    if (!footer_) {
        footer_ = makeCaption(text, this);
        static_cast<QVBoxLayout*>(layout())->addWidget(footer_);
    }
    footer_->setText(text);
    return footer_;
}

SettingsPage::SettingsPage(QWidget* parent) : QWidget(parent) {
    ensureSettingsResources();
    auto* outer = new QVBoxLayout(this);
    outer->setContentsMargins(0, 0, 0, 0);
    auto* scroll = new QScrollArea(this);
    scroll->setFrameShape(QFrame::NoFrame);
    scroll->setWidgetResizable(true);
    scroll->setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
    auto* content = new QWidget(scroll);
    content->setObjectName(QStringLiteral("quillory.settings.pageContent"));
    column_ = new QVBoxLayout(content);
    const int pad = SettingsLayout::contentPadding;
    column_->setContentsMargins(pad, pad, pad, pad);
    column_->setSpacing(14);
    scroll->setWidget(content);
    outer->addWidget(scroll);
}

SettingsPage* SettingsPage::fill(QWidget* tab) {
    auto* outer = new QVBoxLayout(tab);
    outer->setContentsMargins(0, 0, 0, 0);
    auto* page = new SettingsPage(tab);
    outer->addWidget(page);
    return page;
}

SettingsSection* SettingsPage::addSection(const QString& title) {
    auto* section = new SettingsSection(title, column_->parentWidget());
    column_->addWidget(section);
    return section;
}

void SettingsPage::finish() {
    column_->addStretch(1);
}

/// The pill's symbol, painted in its colour.
class StatusPill::Icon : public QWidget {
public:
    explicit Icon(QWidget* parent) : QWidget(parent) {
        const int d = fontMetrics().height() - 2;
        setFixedSize(d + 2, d + 2);
    }
    Symbol symbol = Symbol::question;
    Tone tone = Tone::neutral;

protected:
    void paintEvent(QPaintEvent*) override {
        QPainter p(this);
        p.setRenderHint(QPainter::Antialiasing);
        const double d = width() - 2;
        const QRectF icon(1, 1, d, d);
        p.setPen(Qt::NoPen);
        p.setBrush(StatusPill::color(tone, palette()));
        if (symbol == Symbol::warning) {
            QPainterPath tri;
            tri.moveTo(icon.center().x(), icon.top());
            tri.lineTo(icon.right(), icon.bottom());
            tri.lineTo(icon.left(), icon.bottom());
            tri.closeSubpath();
            p.drawPath(tri);
        } else {
            p.drawEllipse(icon);
        }
        p.setPen(QPen(SettingsPalette::symbolOnTone(), std::max(1.5, d / 8.0), Qt::SolidLine, Qt::RoundCap, Qt::RoundJoin));
        auto at = [&](double x, double y) { return QPointF(icon.left() + x * d, icon.top() + y * d); };
        switch (symbol) {
        case Symbol::check: p.drawPolyline(QPolygonF({at(0.28, 0.52), at(0.44, 0.68), at(0.72, 0.34)})); break;
        case Symbol::cross:
            p.drawLine(at(0.33, 0.33), at(0.67, 0.67));
            p.drawLine(at(0.67, 0.33), at(0.33, 0.67));
            break;
        case Symbol::exclamation:
            p.drawLine(at(0.5, 0.25), at(0.5, 0.56));
            p.drawPoint(at(0.5, 0.74));
            break;
        case Symbol::warning:
            p.drawLine(at(0.5, 0.38), at(0.5, 0.66));
            p.drawPoint(at(0.5, 0.82));
            break;
        case Symbol::question: {
            QFont f = font();
            f.setBold(true);
            f.setPixelSize(std::max(6, int(d * 0.75)));
            p.setFont(f);
            p.drawText(icon, Qt::AlignCenter, QStringLiteral("?"));
            break;
        }
        }
    }
};

StatusPill::StatusPill(QWidget* parent) : QWidget(parent) {
    auto* layout = new QHBoxLayout(this);
    layout->setContentsMargins(0, 0, 0, 0);
    layout->setSpacing(5);
    icon_ = new Icon(this);
    label_ = new QLabel(this);
    label_->setWordWrap(true);
    layout->addWidget(icon_, 0, Qt::AlignTop);
    layout->addWidget(label_, 1);
    setSizePolicy(QSizePolicy::Preferred, QSizePolicy::Preferred);
}

QString StatusPill::text() const {
    return label_->text();
}

void StatusPill::set(Symbol symbol, Tone tone, const QString& text) {
    symbol_ = symbol;
    tone_ = tone;
    icon_->symbol = symbol;
    icon_->tone = tone;
    icon_->update();
    label_->setText(text);
    applyColor();
    setAccessibleName(text);
}

void StatusPill::applyColor() {
    QPalette p = label_->palette();
    p.setColor(QPalette::WindowText, color(tone_, palette()));
    label_->setPalette(p);
}

void StatusPill::changeEvent(QEvent* event) {
    QWidget::changeEvent(event);
    if (event->type() == QEvent::PaletteChange || event->type() == QEvent::ApplicationPaletteChange) {
        applyColor();
        icon_->update();
    }
}

QColor StatusPill::color(Tone tone, const QPalette& palette) {
    return SettingsPalette::tone(tone, palette);
}

QColor StatusPill::color(Tone tone) {
    return color(tone, QApplication::palette());
}

KeyCap::KeyCap(const QString& text, const QString& accessibleName, QWidget* parent) : QLabel(text, parent) {
    setAlignment(Qt::AlignCenter);
    setMinimumSize(26, 26);
    setAccessibleName(accessibleName);
    restyle();
}

void KeyCap::setLit(bool lit) {
    if (lit_ != lit) {
        lit_ = lit;
        restyle();
    }
}

void KeyCap::restyle() {
    // Lit: the accent colour at 0.3; unlit: a faint neutral fill; the text in the pill colour.
    restyling_ = true;
    const QPalette p = window()->palette(); // the window's: the caps' own carries the style sheet
    setStyleSheet(QStringLiteral("QLabel { background: %1; color: %2; border-radius: 6px; padding: 0 7px;"
                                 " font-weight: 500; }")
                      .arg(lit_ ? SettingsPalette::css(SettingsPalette::accent(p), 0.3)
                                : SettingsPalette::css(SettingsPalette::neutral(), 0.2),
                           SettingsPalette::css(SettingsPalette::pillText(p))));
    restyling_ = false;
}

void KeyCap::changeEvent(QEvent* event) {
    QLabel::changeEvent(event);
    if ((event->type() == QEvent::PaletteChange || event->type() == QEvent::ApplicationPaletteChange) && !restyling_) {
        restyle();
    }
}

} // namespace quillory
