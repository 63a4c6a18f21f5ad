#pragma once

#include <QString>

#include <optional>

class QHBoxLayout;
class QLabel;
class QProgressBar;
class QWidget;

namespace quillory {

class HelpPopoverButton;

// Small building blocks shared by the polish, chat and speech model views.

/// A section header row: the title in bold, a spacer and, when `help` is not empty, a help button.
QHBoxLayout* sectionHeader(const QString& title, const QString& help, QWidget* parent);
/// The settings help button for `help` (object name "help").
HelpPopoverButton* helpButton(const QString& help, QWidget* parent);
/// Replaces `button` (in its header row) by one for `help` when the text differs.
void updateHelpButton(HelpPopoverButton*& button, const QString& help);
/// Wrapping text in the caption size.
QLabel* captionLabel(QWidget* parent);
/// A caption in red, hidden until it has text.
QLabel* errorLabel(QWidget* parent);
/// Secondary colour when present, orange when missing.
void setStatusColour(QLabel* label, bool present);
/// Shows the bar while `active`: a percentage when the total is known, else a busy bar.
void showProgress(QProgressBar* bar, bool active, qint64 received, qint64 total);
/// Shows the label with the text when there is one, hides it otherwise.
void showOptionalText(QLabel* label, const std::optional<QString>& text);

} // namespace quillory
