#pragma once

#include <QString>

#include <optional>

class QLabel;
class QProgressBar;
class QPushButton;
class QWidget;

namespace quillory {

class HelpPopoverButton;

// Small building blocks shared by the polish, chat and speech model views.

/// The settings help button for `help` (object name "help").
HelpPopoverButton* helpButton(const QString& help, QWidget* parent);
/// Replaces `button` (in its header row) by one for `help` when the text differs.
void updateHelpButton(HelpPopoverButton*& button, const QString& help);
/// A caption in the error tone, hidden until it has text.
QLabel* errorLabel(QWidget* parent);
/// A push button whose text is in the error tone while enabled (delete, stop servers).
QPushButton* destructiveButton(const QString& text, QWidget* parent);
/// Secondary colour when present, the warning tone when missing.
void setStatusColour(QLabel* label, bool present);
/// Shows the bar while `active`: a percentage when the total is known, else a busy bar.
void showProgress(QProgressBar* bar, bool active, qint64 received, qint64 total);
/// Shows the label with the text when there is one, hides it otherwise.
void showOptionalText(QLabel* label, const std::optional<QString>& text);

} // namespace quillory
