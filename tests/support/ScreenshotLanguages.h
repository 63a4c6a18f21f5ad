#pragma once

#include "Runtime/Localization.h"

#include <QLocale>

#include <utility>
#include <vector>

namespace quillory::testing {

/// The languages this run takes its review screenshots in: Japanese under a Japanese locale
/// (LANG=ja_JP.UTF-8, the screenshots_ja_* runs, so fonts are chosen as for a Japanese user),
/// English otherwise.
inline std::vector<std::pair<Localization::Language, const char*>> screenshotLanguages() {
    if (QLocale::system().language() == QLocale::Japanese) {
        return {{Localization::Language::Japanese, "ja"}};
    }
    return {{Localization::Language::English, "en"}};
}

} // namespace quillory::testing
