#pragma once

#include <QString>

namespace quillory {

/// Display texts behind the dotted localisation keys ("diagnostics.error.no_entries", ...).
/// Japanese when the system locale's language is Japanese, else English; a key without a
/// text in the chosen language falls back to English, and an unknown key shows itself.
namespace Localization {

enum class Language { English, Japanese };

/// The language in use (from QLocale::system() unless overridden).
Language language();
/// Overrides the language (tests, `QUILLORY_LANGUAGE=ja|en`); nullopt-like reset with `resetLanguage`.
void setLanguage(Language l);
void resetLanguage();

/// The text of `key`.
QString text(const char* key);
/// The text of `key`, a format with one string placeholder ("%1"), filled with `argument`.
QString format(const char* key, const QString& argument);
/// True when `key` has an English text (every key must).
bool hasKey(const char* key);

} // namespace Localization

/// Shorthand for `Localization::text`.
inline QString L(const char* key) {
    return Localization::text(key);
}

} // namespace quillory
