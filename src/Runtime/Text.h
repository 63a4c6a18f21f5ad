#pragma once

#include <QString>
#include <QStringList>

namespace quillory::Text {

/// Removes white space and line breaks (Unicode, including U+3000) from both ends.
QString trimmed(const QString& s);
/// True when nothing is left after `trimmed`.
bool isBlank(const QString& s);
/// Number of user-perceived characters (extended grapheme clusters).
qsizetype graphemeCount(const QString& s);
/// Equality under Unicode canonical equivalence (a precomposed and a decomposed form are equal).
bool canonicallyEqual(const QString& a, const QString& b);
/// A key under which canonically equal strings coincide (NFC).
QString canonicalKey(const QString& s);
/// Splits at line feeds, dropping empty lines (a carriage return before the line feed goes too).
QStringList nonEmptyLines(const QString& s);

} // namespace quillory::Text
