#pragma once

#include <QColor>
#include <QFrame>
#include <QLabel>
#include <QString>

#include "UI/Settings/SettingsPalette.h"

class QBoxLayout;
class QVBoxLayout;

class QAbstractScrollArea;

namespace quillory {

class HelpPopoverButton;

/// A titled card of a settings tab: a header row (title, spacer, optional extra widgets) and a
/// framed body. Children go into `body()`.
class SettingsSection : public QFrame {
    Q_OBJECT

public:
    SettingsSection(const QString& title, QWidget* parent = nullptr);

    QVBoxLayout* body() const { return body_; }
    /// Adds a widget to the header's trailing end (a help or reload button).
    void addHeaderWidget(QWidget* widget);
    /// Adds a help button with `helpText`; returns it.
    HelpPopoverButton* addHelp(const QString& helpText);
    QLabel* titleLabel() const { return title_; }
    /// A secondary-style text under the card.
    QLabel* setFooter(const QString& text);

private:
    QLabel* title_;
    QBoxLayout* header_;
    QVBoxLayout* body_;
    QLabel* footer_ = nullptr;
};

/// A page of a settings tab: sections stacked top-down, padded 12, scrolling vertically when
/// they don't fit.
class SettingsPage : public QWidget {
    Q_OBJECT

public:
    explicit SettingsPage(QWidget* parent = nullptr);
    /// A page that fills `tab` (the tab's whole content).
    static SettingsPage* fill(QWidget* tab);
    /// The column the sections go into.
    QVBoxLayout* column() const { return column_; }
    SettingsSection* addSection(const QString& title);
    /// Pushes the sections to the top (call once after the last section).
    void finish();

private:
    QVBoxLayout* column_;
};

/// A coloured status label: a small painted symbol and a text in one colour; long texts wrap.
class StatusPill : public QWidget {
    Q_OBJECT

public:
    enum class Symbol { check, cross, exclamation, question, warning };
    using Tone = SettingsPalette::Tone;

    explicit StatusPill(QWidget* parent = nullptr);
    void set(Symbol symbol, Tone tone, const QString& text);

    QString text() const;
    Symbol symbol() const { return symbol_; }
    Tone tone() const { return tone_; }
    /// The tone's colour for `palette` (the application's by default).
    static QColor color(Tone tone, const QPalette& palette);
    static QColor color(Tone tone);

protected:
    void changeEvent(QEvent* event) override;

private:
    void applyColor();
    class Icon;
    Icon* icon_;
    QLabel* label_;
    Symbol symbol_ = Symbol::question;
    Tone tone_ = Tone::neutral;
};

/// A key cap of the live key display: a text on a rounded rectangle, lit or not.
class KeyCap : public QLabel {
    Q_OBJECT

public:
    KeyCap(const QString& text, const QString& accessibleName, QWidget* parent = nullptr);
    void setLit(bool lit);
    bool isLit() const { return lit_; }

protected:
    void changeEvent(QEvent* event) override;

private:
    void restyle();
    bool lit_ = false;
    bool restyling_ = false;
};

/// Registers the views library's icons (idempotent).
void ensureSettingsResources();

/// A label in the caption style (smaller, secondary colour unless `emphasised`).
QLabel* makeCaption(const QString& text, QWidget* parent, bool secondary = true);

/// Makes Noto Sans CJK JP the application's first font when it is installed (its Japanese has a
/// bold weight for headings and its Latin is proportional; IPA Gothic, the usual fallback, has
/// neither), keeping the desktop's font behind it. Call once after the QApplication exists.
void applyPreferredUiFont();

/// Lets the mouse wheel over `editor` scroll the page it sits on unless the editor has the
/// keyboard focus (then it scrolls the editor), so tall editors do not trap the wheel.
void passWheelToPageUnlessFocused(QAbstractScrollArea* editor);

} // namespace quillory
