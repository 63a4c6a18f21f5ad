#pragma once

#include <QString>

namespace quillory {

/// The recognition locale. Only Japanese is offered.
enum class SpeechLocale { jaJP };

inline QString identifier(SpeechLocale locale) {
    switch (locale) {
    case SpeechLocale::jaJP:
        return QStringLiteral("ja-JP");
    }
    return QStringLiteral("ja-JP");
}

} // namespace quillory
