#pragma once

#include <QToolButton>

class QFrame;

namespace quillory {

/// The small question-mark button beside a section header; a click shows `helpText` in a popup
/// under the button, wrapped at 440 pixels and padded 12. A click elsewhere closes it.
class HelpPopoverButton : public QToolButton {
    Q_OBJECT

public:
    explicit HelpPopoverButton(QString helpText, QWidget* parent = nullptr);

    const QString& helpText() const { return helpText_; }
    bool isPresented() const;
    /// The popup (created on the first click), for tests.
    QFrame* popover() const { return popover_; }

    void present();

private:
    QString helpText_;
    QFrame* popover_ = nullptr;
};

} // namespace quillory
