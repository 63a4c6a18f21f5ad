#include "Input/x11/QtPasteboard.h"

#include "Utilities/Log.h"

#include <QClipboard>
#include <QGuiApplication>
#include <QMimeData>
#include <QPointer>

namespace quillory::input {

namespace {

const QString kQtImageAlias = QStringLiteral("application/x-qt-image");

QClipboard* clipboard() {
    return qGuiApp ? QGuiApplication::clipboard() : nullptr;
}

/// The clipboard's contents as Qt hands them out; reads go to the owner each time, so a
/// contents change between listing and reading gives nothing rather than another owner's data.
class MimeItemSource final : public PasteboardItemSource {
public:
    MimeItemSource(const QMimeData* data, QStringList types) : data_(data), types_(std::move(types)) {}

    QStringList types() const override { return types_; }
    std::optional<QByteArray> data(const QString& type) const override {
        if (!data_ || !types_.contains(type) || !data_->hasFormat(type)) {
            return std::nullopt;
        }
        return data_->data(type);
    }
    std::optional<QString> string(const QString& type) const override {
        if (!data_ || type != Pasteboard::stringType || !data_->hasText()) {
            return std::nullopt;
        }
        return data_->text();
    }

private:
    QPointer<const QMimeData> data_;
    QStringList types_;
};

} // namespace

bool isClipboardDataFormat(const QString& format) {
    static const QStringList pseudo = {
        QStringLiteral("TARGETS"),     QStringLiteral("TIMESTAMP"),        QStringLiteral("MULTIPLE"),
        QStringLiteral("SAVE_TARGETS"), QStringLiteral("DELETE"),          QStringLiteral("INSERT_SELECTION"),
        QStringLiteral("INSERT_PROPERTY"), QStringLiteral("CLIPBOARD_MANAGER"), QStringLiteral("INCR"),
        QStringLiteral("ATOM_PAIR"),   QStringLiteral("_QT_SELECTION"),
    };
    if (format.isEmpty() || pseudo.contains(format) || format == kQtImageAlias) {
        return false;
    }
    // "type/subtype" with something on both sides; X atoms without a slash are targets of the
    // selection protocol or server resources, never self-contained data.
    const qsizetype slash = format.indexOf(QLatin1Char('/'));
    return slash > 0 && slash < format.size() - 1 && !format.contains(QLatin1Char(' '));
}

QtPasteboard::QtPasteboard() {
    if (QClipboard* c = clipboard()) {
        connect(c, &QClipboard::dataChanged, this, [this] { ++changeCount_; });
    } else {
        qCWarning(lcInput, "The clipboard is unavailable: no graphical application");
    }
}

void QtPasteboard::bumpForWrite(qint64 before) {
    // Qt reports our own write as a change too, at once; a write it did not report still counts.
    if (changeCount_ == before) {
        ++changeCount_;
    }
}

std::optional<std::vector<std::shared_ptr<const PasteboardItemSource>>> QtPasteboard::items() const {
    QClipboard* c = clipboard();
    if (!c) {
        return std::nullopt;
    }
    std::vector<std::shared_ptr<const PasteboardItemSource>> items;
    const QMimeData* data = c->mimeData(QClipboard::Clipboard);
    if (!data) {
        return items;
    }
    QStringList types;
    for (const QString& format : data->formats()) {
        if (isClipboardDataFormat(format) && !types.contains(format)) {
            types << format;
        }
    }
    if (!types.isEmpty()) {
        items.push_back(std::make_shared<MimeItemSource>(data, types));
    }
    return items;
}

qint64 QtPasteboard::clearContents() {
    QClipboard* c = clipboard();
    if (!c) {
        return -1;
    }
    const qint64 before = changeCount_;
    c->clear(QClipboard::Clipboard);
    bumpForWrite(before);
    return changeCount_;
}

bool QtPasteboard::setString(const QString& text, const QString& type) {
    QClipboard* c = clipboard();
    if (!c) {
        return false;
    }
    auto* data = new QMimeData;
    if (type == stringType) {
        data->setText(text);
    } else {
        data->setData(type, text.toUtf8());
    }
    const qint64 before = changeCount_;
    c->setMimeData(data, QClipboard::Clipboard); // the clipboard owns it from here
    bumpForWrite(before);
    return c->mimeData(QClipboard::Clipboard) == data; // it serves ours: we own the selection
}

bool QtPasteboard::writeItems(const std::vector<PasteboardItem>& items) {
    QClipboard* c = clipboard();
    if (!c) {
        return false;
    }
    // The X11 clipboard holds one item: the items' formats go into one, the first of a type wins.
    auto* data = new QMimeData;
    for (const PasteboardItem& item : items) {
        for (const auto& [type, value] : item.entries) {
            if (data->hasFormat(type)) {
                continue;
            }
            if (const auto* bytes = std::get_if<QByteArray>(&value)) {
                data->setData(type, *bytes);
            } else if (type == stringType) {
                data->setText(std::get<QString>(value));
            } else {
                data->setData(type, std::get<QString>(value).toUtf8());
            }
        }
    }
    const qint64 before = changeCount_;
    c->setMimeData(data, QClipboard::Clipboard);
    bumpForWrite(before);
    return c->mimeData(QClipboard::Clipboard) == data;
}

} // namespace quillory::input
