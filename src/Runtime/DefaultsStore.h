#pragma once

#include <QByteArray>
#include <QObject>
#include <QString>
#include <QStringList>
#include <QVariant>

#include "Runtime/FileIO.h"

#include <functional>
#include <mutex>
#include <optional>

namespace quillory {

/// The user defaults store: typed values (bool, integer, double, string, data) under string keys,
/// kept in one JSON file (owner-only, in an owner-only folder) and replaced whole or not at all.
///
/// The file is shared with other processes of the user (the command line and the tray app): a read
/// picks up changes another process made, and a write is one step across processes: under the lock
/// file `<file>.lock` it re-reads the file as it is on disk, applies the change and replaces the
/// file, so concurrent writers never lose each other's keys.
///
/// A missing file reads as empty. A corrupt file reads as empty with a log line; the next write
/// keeps its bytes aside as `<file>.corrupt` before replacing it. A file that exists but can't be
/// read (permissions, I/O error, too many open files) is never written over: reads keep the values
/// last read (none in a fresh process) and retry, writes fail with the read error.
/// A failed write keeps the new value in this process's memory (so the program behaves as set) and
/// reports why; the file stays as it was. Any thread may call it.
class DefaultsStore : public QObject {
    Q_OBJECT
public:
    enum class Type { Bool, Integer, Double, String, Data };

    /// The store of the user: `$XDG_CONFIG_HOME/quillory/defaults.json`, created on first use.
    static DefaultsStore& standard();
    /// Points `standard()` at another store (tests); null restores the user's. Not owned.
    static void setStandardForTesting(DefaultsStore* store);

    explicit DefaultsStore(QString filePath, QObject* parent = nullptr);

    QString filePath() const { return filePath_; }

    /// The stored value as a QVariant of type bool, qlonglong, double, QString or QByteArray;
    /// invalid when nothing is stored.
    QVariant value(const QString& key) const;
    std::optional<Type> typeOf(const QString& key) const;
    QStringList keys() const;

    /// Typed reads in the manner of a defaults store: a missing value or one of another type
    /// gives nothing (the `...Or` forms give the fallback).
    std::optional<bool> boolValue(const QString& key) const;
    std::optional<qint64> integerValue(const QString& key) const;
    std::optional<double> doubleValue(const QString& key) const;
    std::optional<QString> stringValue(const QString& key) const;
    std::optional<QByteArray> dataValue(const QString& key) const;

    /// The writes return false when the value was refused or could not be saved (`lastError()` says
    /// why); true when it is in the file (or was already).
    bool setBool(const QString& key, bool v);
    bool setInteger(const QString& key, qint64 v);
    bool setDouble(const QString& key, double v);
    bool setString(const QString& key, const QString& v);
    bool setData(const QString& key, const QByteArray& v);
    /// Stores a QVariant of one of the five types; other types and doubles that are not finite
    /// (JSON has no NaN or infinity) are refused.
    bool setValue(const QString& key, const QVariant& v);
    bool remove(const QString& key);
    /// Read-modify-write of one key as one step across processes: `change` gets the value on disk
    /// (invalid when absent) under the lock and returns the new value (invalid removes it) or
    /// nullopt to leave it. `change` must not use the store. False when the result was refused or
    /// could not be saved.
    bool update(const QString& key,
                const std::function<std::optional<QVariant>(const QVariant& current)>& change);

    /// Why the last write failed, or the read error that a read met; empty after a read or write
    /// that went well.
    QString lastError() const;
    /// Non-empty while the file exists but can't be read or is corrupt (after refreshing).
    QString readError() const;

    static QString typeName(Type t);
    static std::optional<Type> typeFromName(const QString& name);

signals:
    /// A key's value changed (set to a different value, or removed). Emitted in the thread that
    /// wrote; equal writes emit nothing.
    void valueChanged(const QString& key);

private:
    enum class FileState { Unknown, Absent, Loaded, Corrupt, Unreadable };
    using Change = std::function<std::optional<QVariant>(const QVariant&)>;

    void refreshLocked() const;
    void readFailedLocked(const QString& message) const;
    /// False when the write failed; `changed` tells whether the value in memory changed.
    bool writeLocked(const QString& key, const Change& change, bool& changed);
    void keepCorruptFileLocked();

    QString filePath_;
    mutable std::recursive_mutex mutex_;
    mutable QVariantMap values_;
    mutable FileState state_ = FileState::Unknown;
    mutable std::optional<FileIO::FileIdentity> identity_; // the file values_ were read from or written to
    mutable QString readError_;
    mutable QString lastError_;
};

} // namespace quillory
