#pragma once

#include "Runtime/Async.h"

#include <QDateTime>
#include <QString>
#include <QStringList>

#include <exception>

namespace quillory {

/// Export of the last minutes of the diagnostics log to a text file.
namespace CommitDiagnosticsExporter {

class ExportError : public std::exception {
public:
    enum class Kind { ReadFailed, WriteFailed, NoEntries };

    static ExportError readFailed(QString message) { return {Kind::ReadFailed, std::move(message)}; }
    static ExportError writeFailed(QString message) { return {Kind::WriteFailed, std::move(message)}; }
    static ExportError noEntries() { return {Kind::NoEntries, {}}; }

    Kind kind() const { return kind_; }
    QString message() const { return message_; }
    /// The localised, user-visible description.
    QString localizedDescription() const;
    const char* what() const noexcept override;

private:
    ExportError(Kind k, QString m) : kind_(k), message_(std::move(m)) {}
    Kind kind_;
    QString message_;
    mutable QByteArray what_;
};

/// "quillory-diagnostics-20260314T081502.log" for the moment `now` (in UTC).
QString defaultExportFilename(const QDateTime& now);

/// The six header lines (without the line feed after the last one).
QString makeHeader(int lookbackMinutes, const QDateTime& now);

/// The lines of `files` (in order) stamped at or after `cutoff`, plus every line without a
/// timestamp of its own; bytes that are not UTF-8 read as U+FFFD. Throws `ExportError::readFailed`
/// when a file can't be read.
QStringList collectLines(const QDateTime& cutoff, const QStringList& files);

/// Collects the window ending now and writes header and lines atomically to `path`.
/// Throws `ExportError`. Blocking: for the command line and background threads.
void exportTo(const QString& path, int lookbackMinutes);

/// The same with the file reading on a worker thread; the flow resumes on the main thread.
Task<> exportAsync(QString path, int lookbackMinutes);

} // namespace CommitDiagnosticsExporter
} // namespace quillory
