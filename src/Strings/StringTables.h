#pragma once

#include "Runtime/LocalizedStrings.h"

#include <vector>

namespace quillory::Localization {

/// Every display text of the program: the tables of all subsystems joined.
std::vector<LocalizedString> localizedStrings();

/// Installs `localizedStrings()` as the texts `L` reads. Each program's main calls it first.
void installAllStrings();

} // namespace quillory::Localization
