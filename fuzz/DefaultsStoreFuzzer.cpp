// The settings file (defaults.json), read the way the store reads it: from disk. Every value the
// store reads back is one of the five types, and a write of one key keeps every other value
// that was readable (a fresh store sees them unchanged).

#include "FuzzSupport.h"

#include "Runtime/DefaultsStore.h"

#include <QVariantMap>

using namespace quillory;

namespace {
bool survivesRewrite(const QVariant& v) {
    // Text that is not valid UTF-16 (a lone surrogate from "\ud800") cannot be written back as is.
    return v.typeId() != QMetaType::QString || v.toString().isValidUtf16();
}
} // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    fuzz::silenceQtMessages();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const QString path = fuzz::writeScratchFile(QStringLiteral("defaults.json"), fuzz::bytesOf(data, size));
    QVariantMap before;
    {
        DefaultsStore store(path);
        for (const QString& key : store.keys()) {
            const QVariant v = store.value(key);
            const auto type = store.typeOf(key);
            QUILLORY_FUZZ_CHECK(v.isValid());
            QUILLORY_FUZZ_CHECK(type.has_value());
            switch (*type) {
            case DefaultsStore::Type::Bool:
                QUILLORY_FUZZ_CHECK(store.boolValue(key).has_value());
                break;
            case DefaultsStore::Type::Integer:
                QUILLORY_FUZZ_CHECK(store.integerValue(key).has_value());
                break;
            case DefaultsStore::Type::Double:
                QUILLORY_FUZZ_CHECK(store.doubleValue(key).has_value());
                break;
            case DefaultsStore::Type::String:
                QUILLORY_FUZZ_CHECK(store.stringValue(key).has_value());
                break;
            case DefaultsStore::Type::Data:
                QUILLORY_FUZZ_CHECK(store.dataValue(key).has_value());
                break;
            }
            before.insert(key, v);
        }
        store.setString(QStringLiteral("fuzz.written"), QStringLiteral("value"));
        if (!store.lastError().isEmpty()) {
            return 0; // the write was refused; nothing more to check
        }
    }
    DefaultsStore reread(path);
    QUILLORY_FUZZ_CHECK(reread.stringValue(QStringLiteral("fuzz.written")) == QStringLiteral("value"));
    for (auto it = before.cbegin(); it != before.cend(); ++it) {
        if (it.key() == QStringLiteral("fuzz.written") || !survivesRewrite(it.value())) {
            continue;
        }
        const QVariant now = reread.value(it.key());
        QUILLORY_FUZZ_CHECK(now.typeId() == it.value().typeId());
        QUILLORY_FUZZ_CHECK(now == it.value());
    }
    return 0;
}
