#pragma once

#include "Input/InputPlatform.h"

#include <QObject>

namespace quillory::input {

/// Whether a clipboard format is data we can keep and offer again: MIME-like names only. X11
/// selection pseudo-targets (TARGETS, TIMESTAMP, MULTIPLE, SAVE_TARGETS, DELETE, ...), server
/// resources (PIXMAP, BITMAP) and Qt's internal image alias are not.
bool isClipboardDataFormat(const QString& format);

/// The desktop clipboard (X11 CLIPBOARD selection) through QClipboard, as one multi-format item.
///
/// The change count is our own counter: every change the clipboard reports (another application
/// took the selection, or we wrote) and every write we make bumps it, a write exactly once. What
/// we write is served by this process (we own the selection) until someone else takes it; when
/// the application quits, Qt hands it to a running clipboard manager. Needs a QGuiApplication;
/// main thread only.
class QtPasteboard final : public QObject, public Pasteboard {
    Q_OBJECT
public:
    QtPasteboard();

    qint64 changeCount() const override { return changeCount_; }
    std::optional<std::vector<std::shared_ptr<const PasteboardItemSource>>> items() const override;
    qint64 clearContents() override;
    bool setString(const QString& text, const QString& type) override;
    bool writeItems(const std::vector<PasteboardItem>& items) override;

private:
    void bumpForWrite(qint64 before);
    qint64 changeCount_ = 0;
};

} // namespace quillory::input
