#include "Runtime/LocalizedStrings.h"

namespace quillory::Localization {

namespace {
constexpr LocalizedString kStrings[] = {
    {"", "", ""}, // placeholder until this subsystem has texts
};
} // namespace

std::span<const LocalizedString> polishStrings() { return std::span(kStrings).subspan(kStrings[0].key[0] ? 0 : 1); }

} // namespace quillory::Localization
