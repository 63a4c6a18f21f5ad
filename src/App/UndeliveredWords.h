#pragma once

#include <QDateTime>
#include <QString>

namespace quillory::UndeliveredWords {

/// `<data folder>/Undelivered.txt`: the words of dictations that could not be inserted.
QString filePath();

/// Appends `text` under a line with `when`, to an owner-only file (never through a symbolic
/// link). Returns the file's path; empty with `error` set when the words could not be written.
QString keep(const QString& text, const QDateTime& when, QString* error = nullptr);

} // namespace quillory::UndeliveredWords
