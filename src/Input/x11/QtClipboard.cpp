#include "Input/x11/QtClipboard.h"

#include "Input/x11/SelectionReader.h"
#include "Input/x11/X11Connection.h"
#include "Runtime/Log.h"

#include <QClipboard>
#include <QGuiApplication>
#include <QMimeData>
#include <QPointer>

#include <algorithm>

namespace quillory::input {

namespace {

const QString kQtImageAlias = QStringLiteral("application/x-qt-image");

QClipboard* clipboard() {
    return qGuiApp ? QGuiApplication::clipboard() : nullptr;
}

/// A copy of the contents, read at once.
class CopiedItemSource final : public ClipboardItemSource {
public:
    explicit CopiedItemSource(SelectionContents contents) : contents_(std::move(contents)) {}

    QStringList types() const override {
        QStringList types;
        for (const auto& [type, bytes] : contents_) {
            types << type;
        }
        return types;
    }
    std::optional<QByteArray> data(const QString& type) const override {
        for (const auto& [t, bytes] : contents_) {
            if (t == type) {
                return bytes;
            }
        }
        return std::nullopt;
    }
    std::optional<QString> string(const QString&) const override { return std::nullopt; }

private:
    SelectionContents contents_;
};

/// What we put on the clipboard: it tells its QtClipboard when another application reads it.
class ServedMimeData final : public QMimeData {
public:
    explicit ServedMimeData(QtClipboard* owner) : owner_(owner) {}

protected:
    QVariant retrieveData(const QString& type, QMetaType preferred) const override {
        if (owner_) {
            owner_->noteFetch(this);
        }
        return QMimeData::retrieveData(type, preferred);
    }

private:
    QPointer<QtClipboard> owner_;
};

const char* selectionName(QClipboard::Mode mode) {
    return mode == QClipboard::Selection ? "PRIMARY" : "CLIPBOARD";
}

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

QtClipboard::QtClipboard(QClipboard::Mode mode, std::shared_ptr<X11Connection> connection)
    : mode_(mode), connection_(std::move(connection)) {
    if (QClipboard* c = clipboard()) {
        connect(c, &QClipboard::changed, this, [this](QClipboard::Mode changed) {
            if (changed == mode_) {
                ++changeCount_;
            }
        });
    } else {
        qCWarning(lcInput, "The clipboard is unavailable: no graphical application");
    }
}

void QtClipboard::bumpForWrite(qint64 before) {
    // Qt reports our own write as a change too, at once; a write it did not report still counts.
    if (changeCount_ == before) {
        ++changeCount_;
    }
}

bool QtClipboard::ownsSelection() const {
    QClipboard* c = clipboard();
    return c && (mode_ == QClipboard::Selection ? c->ownsSelection() : c->ownsClipboard());
}

void QtClipboard::noteFetch(const QMimeData* data) {
    QClipboard* c = clipboard();
    if (readingOwnData_ || !c || c->mimeData(mode_) != data) {
        return;
    }
    if (auto fetched = std::exchange(onFetch_, nullptr)) {
        fetched();
    }
}

std::optional<std::vector<std::shared_ptr<const ClipboardItemSource>>> QtClipboard::items() const {
    QClipboard* c = clipboard();
    if (!c) {
        return std::nullopt;
    }
    std::vector<std::shared_ptr<const ClipboardItemSource>> items;
    if (connection_ && connection_->display() && !ownsSelection()) {
        QString why;
        auto contents = readSelection(*connection_, selectionName(mode_), kReadLimit, &why);
        if (!contents) {
            qCWarning(lcInput, "The %s could not be read: %s", selectionName(mode_), qUtf8Printable(why));
            return std::nullopt;
        }
        if (!contents->empty()) {
            items.push_back(std::make_shared<CopiedItemSource>(std::move(*contents)));
        }
        return items;
    }
    // Our own contents (or Qt's in-process clipboard): no other application to wait for.
    const QMimeData* data = c->mimeData(mode_);
    if (!data) {
        return items;
    }
    readingOwnData_ = true;
    SelectionContents contents;
    for (const QString& format : data->formats()) {
        if (isClipboardDataFormat(format) &&
            std::none_of(contents.begin(), contents.end(), [&](const auto& e) { return e.first == format; })) {
            contents.emplace_back(format, data->data(format));
        }
    }
    readingOwnData_ = false;
    if (!contents.empty()) {
        items.push_back(std::make_shared<CopiedItemSource>(std::move(contents)));
    }
    return items;
}

qint64 QtClipboard::clearContents() {
    QClipboard* c = clipboard();
    if (!c) {
        return -1;
    }
    const qint64 before = changeCount_;
    c->clear(mode_);
    bumpForWrite(before);
    return changeCount_;
}

bool QtClipboard::serve(QMimeData* data) {
    QClipboard* c = clipboard();
    const qint64 before = changeCount_;
    c->setMimeData(data, mode_); // the clipboard owns it from here
    bumpForWrite(before);
    return c->mimeData(mode_) == data; // it serves ours: we own the selection
}

bool QtClipboard::setString(const QString& text, const QString& type) {
    if (!clipboard()) {
        return false;
    }
    auto* data = new ServedMimeData(this);
    if (type == stringType) {
        data->setText(text);
    } else {
        data->setData(type, text.toUtf8());
    }
    return serve(data);
}

bool QtClipboard::writeItems(const std::vector<ClipboardItem>& items) {
    if (!clipboard()) {
        return false;
    }
    // The X11 clipboard holds one item: the items' formats go into one, the first of a type wins.
    auto* data = new ServedMimeData(this);
    for (const ClipboardItem& item : items) {
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
    return serve(data);
}

} // namespace quillory::input
