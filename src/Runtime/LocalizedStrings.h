#pragma once

#include <span>

namespace quillory::Localization {

struct LocalizedString {
    const char* key;
    const char* en;
    const char* ja;
};

/// Every display text of the program. Formats carry one "%1" placeholder.
std::span<const LocalizedString> localizedStrings();

} // namespace quillory::Localization
