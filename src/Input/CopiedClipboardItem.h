#pragma once

#include "Input/InputPlatform.h"

#include <QByteArray>
#include <QString>
#include <QStringList>

#include <utility>
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

} // namespace quillory::input
