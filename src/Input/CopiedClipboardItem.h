#pragma once

#include "Input/InputPlatform.h"

#include <QByteArray>
#include <QString>
#include <QStringList>

#include <algorithm>
#include <utility>
#include <variant>
#include <vector>

namespace quillory::input {

/// One clipboard item held as bytes per type: a copy read at once, or what we serve ourselves.
class CopiedClipboardItem final : public ClipboardItemSource {
public:
    using Entries = std::vector<std::pair<QString, QByteArray>>;

    explicit CopiedClipboardItem(Entries entries) : entries_(std::move(entries)) {}

    QStringList types() const override {
        QStringList types;
        for (const auto& entry : entries_) {
            types << entry.first;
        }
        return types;
    }
    std::optional<QByteArray> data(const QString& type) const override {
        for (const auto& [t, bytes] : entries_) {
            if (t == type) {
                return bytes;
            }
        }
        return std::nullopt;
    }
    std::optional<QString> string(const QString&) const override { return std::nullopt; }

private:
    Entries entries_;
};

/// The plain text names Wayland and X11 programs ask for, all UTF-8.
inline const QStringList& plainTextTypes() {
    static const QStringList types{QStringLiteral("text/plain;charset=utf-8"), Clipboard::stringType,
                                   QStringLiteral("UTF8_STRING"), QStringLiteral("TEXT"), QStringLiteral("STRING")};
    return types;
}

/// What a clipboard holding one item serves for `setString`: the text under every plain-text name
/// when `type` is the plain string type, else under `type` alone.
inline CopiedClipboardItem::Entries stringEntries(const QString& text, const QString& type) {
    const QByteArray bytes = text.toUtf8();
    if (type != Clipboard::stringType) {
        return {{type, bytes}};
    }
    CopiedClipboardItem::Entries entries;
    for (const QString& t : plainTextTypes()) {
        entries.emplace_back(t, bytes);
    }
    return entries;
}

/// The items' formats in one item (a Wayland clipboard holds one): the first of a type wins.
inline CopiedClipboardItem::Entries entriesOfItems(const std::vector<ClipboardItem>& items) {
    CopiedClipboardItem::Entries entries;
    for (const ClipboardItem& item : items) {
        for (const auto& entry : item.entries) {
            const QString& type = entry.first;
            if (type.isEmpty() ||
                std::any_of(entries.begin(), entries.end(), [&](const auto& e) { return e.first == type; })) {
                continue;
            }
            const auto* bytes = std::get_if<QByteArray>(&entry.second);
            entries.emplace_back(type, bytes ? *bytes : std::get<QString>(entry.second).toUtf8());
        }
    }
    return entries;
}

} // namespace quillory::input
