#pragma once

#include <QPlainTextEdit>

#include <functional>

namespace quillory {

/// A plain-text draft editor for chat input: Return submits when `canSubmit` allows it (otherwise
/// it inserts a line break as usual), Shift+Return always inserts a line break, Ctrl+Return
/// submits when allowed and never inserts one. A Return that finishes an input method
/// composition only commits the composition.
class MultilineDraftTextView : public QPlainTextEdit {
    Q_OBJECT

public:
    explicit MultilineDraftTextView(QWidget* parent = nullptr);

    std::function<void()> onSubmitReturn;
    std::function<bool()> canSubmit;

    /// Replaces the text only when it differs (keeps the caret while the user types).
    void setDraftText(const QString& text);
    /// Read-only while disabled, but still selectable.
    void setDraftDisabled(bool disabled);
    void setAccessibleLabel(const QString& label);

protected:
    void keyPressEvent(QKeyEvent* event) override;

private:
    bool submitIfAllowed();
};

} // namespace quillory
