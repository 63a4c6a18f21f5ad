#pragma once

#include "Input/InputPlatform.h"

#include <QClipboard>
#include <QObject>

#include <chrono>

namespace quillory::input {

class X11Connection;

/// Whether a clipboard format is data we can keep and offer again: MIME-like names only. X11
/// selection pseudo-targets (TARGETS, TIMESTAMP, MULTIPLE, SAVE_TARGETS, DELETE, ...), server
/// resources (PIXMAP, BITMAP) and Qt's internal image alias are not.
bool isClipboardDataFormat(const QString& format);

/// The desktop clipboard (X11 CLIPBOARD selection) or the primary selection through QClipboard, as
/// one multi-format item.
///
/// The change count is our own counter: every change the clipboard reports (another application
/// took the selection, or we wrote) and every write we make bumps it, a write exactly once. What
/// we write is served by this process (we own the selection) until someone else takes it; when
/// the application quits, Qt hands it to a running clipboard manager. Each read of what we wrote
/// by another application is reported (`whenFetched`).
///
/// With an X connection, another owner's contents are read over it within `kReadLimit`
/// (`readSelection`): an owner that does not answer makes `items()` fail after that time instead
/// of blocking in Qt's own wait for seconds per format. Without one (Qt's offscreen platform),
/// reads go through Qt. Needs a QGuiApplication; main thread only.
class QtClipboard final : public QObject, public Clipboard {
    Q_OBJECT
public:
    static constexpr std::chrono::milliseconds kReadLimit{1000};

    explicit QtClipboard(QClipboard::Mode mode = QClipboard::Clipboard,
                          std::shared_ptr<X11Connection> connection = nullptr);

    qint64 changeCount() const override { return changeCount_; }
    std::optional<std::vector<std::shared_ptr<const ClipboardItemSource>>> items() const override;
    qint64 clearContents() override;
    bool setString(const QString& text, const QString& type) override;
    bool writeItems(const std::vector<ClipboardItem>& items) override;
    bool reportsFetches() const override { return true; }
    void whenFetched(std::function<void()> fetched) override { onFetch_ = std::move(fetched); }

    /// Whether this process serves the selection now.
    bool ownsSelection() const;
    /// Called by the data we serve when another application reads it.
    void noteFetch(const QMimeData* data);

private:
    void bumpForWrite(qint64 before);
    bool serve(QMimeData* data);
    QClipboard::Mode mode_;
    std::shared_ptr<X11Connection> connection_;
    qint64 changeCount_ = 0;
    std::function<void()> onFetch_;
    mutable bool readingOwnData_ = false;
};

} // namespace quillory::input
