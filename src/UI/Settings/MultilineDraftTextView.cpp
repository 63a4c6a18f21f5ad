#include "UI/Settings/MultilineDraftTextView.h"

#include <QKeyEvent>

namespace quillory {

MultilineDraftTextView::MultilineDraftTextView(QWidget* parent) : QPlainTextEdit(parent) {
    setFrameShape(QFrame::StyledPanel);
    setVerticalScrollBarPolicy(Qt::ScrollBarAsNeeded);
    setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
    setLineWrapMode(QPlainTextEdit::WidgetWidth);
    setTabChangesFocus(true);
    setMinimumHeight(44);
    document()->setDocumentMargin(4);
}

void MultilineDraftTextView::setDraftText(const QString& text) {
    if (toPlainText() != text) {
        setPlainText(text);
        moveCursor(QTextCursor::End);
    }
}

void MultilineDraftTextView::setDraftDisabled(bool disabled) {
    setReadOnly(disabled);
    setTextInteractionFlags(disabled ? Qt::TextSelectableByMouse | Qt::TextSelectableByKeyboard
                                     : Qt::TextEditorInteraction);
}

void MultilineDraftTextView::setAccessibleLabel(const QString& label) {
    setAccessibleName(label);
    viewport()->setAccessibleName(label);
}

bool MultilineDraftTextView::submitIfAllowed() {
    if (!isReadOnly() && canSubmit && canSubmit() && onSubmitReturn) {
        onSubmitReturn();
        return true;
    }
    return false;
}

void MultilineDraftTextView::keyPressEvent(QKeyEvent* event) {
    const bool isReturn = event->key() == Qt::Key_Return || event->key() == Qt::Key_Enter;
    if (!isReturn || isReadOnly()) {
        QPlainTextEdit::keyPressEvent(event);
        return;
    }
    const Qt::KeyboardModifiers modifiers = event->modifiers() & ~Qt::KeypadModifier;
    if (modifiers & Qt::ShiftModifier) {
        // A plain line feed: the editor's own Shift+Return would insert U+2028 instead.
        insertPlainText(QStringLiteral("\n"));
        event->accept();
        return;
    }
    if (modifiers & Qt::ControlModifier) {
        submitIfAllowed();
        event->accept();
        return;
    }
    if (modifiers == Qt::NoModifier && submitIfAllowed()) {
        event->accept();
        return;
    }
    insertPlainText(QStringLiteral("\n"));
    event->accept();
}

} // namespace quillory
