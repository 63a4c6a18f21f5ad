#pragma once

#include "Runtime/LocalizedStrings.h"

#include <QString>

#include <span>

namespace quillory::Localization {

/// The display texts of the hotkey subsystem.
std::span<const LocalizedString> hotkeyStrings();

/// The text of a key of `hotkeyStrings()` in the current language (English when the key has no
/// text in it); a "%1" in the text is replaced by `argument`.
QString hotkeyText(const char* key, const QString& argument = {});

} // namespace quillory::Localization
