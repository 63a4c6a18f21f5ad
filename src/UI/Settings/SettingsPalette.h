#pragma once

// Every colour the settings window draws with, in one place. Each is taken from (or chosen for)
// the widget's palette, so a dark theme gets colours that read on it. No other file of the
// settings window writes a colour value.

#include <QColor>
#include <QString>

class QPalette;
class QWidget;

namespace quillory::SettingsPalette {

/// The status tones of pills, banners and messages.
enum class Tone { green, red, orange, neutral };

/// The window is dark (its colour's lightness below the middle).
bool isDark(const QPalette& palette);
/// The colour of a status tone: deeper on a light window, lighter on a dark one. Red is also the
/// colour of error texts and destructive buttons; orange of warnings and missing files.
QColor tone(Tone tone, const QPalette& palette);
/// The accent of emphasised pills, lit caps and the user's chat bubbles.
QColor accent(const QPalette& palette);
/// Text drawn on a pill or cap: the palette's button text.
QColor pillText(const QPalette& palette);
/// The symbol drawn inside a status pill's coloured disc.
QColor symbolOnTone();
/// The neutral grey of unlit caps and inset borders (used translucent: reads on light and dark).
QColor neutral();

/// "rgba(r, g, b, a)" for style sheets, `alpha` times the colour's own.
QString css(const QColor& color, double alpha = 1.0);
/// Draws `widget`'s text (labels and buttons) in the tone while it is enabled.
void setTextTone(QWidget* widget, Tone tone);
/// Draws `widget`'s text in the palette's secondary (placeholder) colour.
void setSecondaryText(QWidget* widget);

} // namespace quillory::SettingsPalette
