#pragma once

#include <QByteArray>
#include <QObject>
#include <QString>
#include <QStringList>
#include <QVariant>

#include <mutex>
#include <optional>

namespace quillory {

/// The user defaults store: typed values (bool, integer, double, string, data) under string keys,
/// kept in one JSON file and written atomically.
///
/// The file is shared with other processes of the user (the command line and the tray app): a read
/// picks up changes another process made, and a write merges into the file as it is on disk.
/// A missing file reads as empty; a corrupt or unreadable one reads as empty too, with a log line,
/// and is left in place until the next write replaces it. Any thread may call it.
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

    void setBool(const QString& key, bool v);
    void setInteger(const QString& key, qint64 v);
    void setDouble(const QString& key, double v);
    void setString(const QString& key, const QString& v);
    void setData(const QString& key, const QByteArray& v);
    /// Stores a QVariant of one of the five types; others are refused (false).
    bool setValue(const QString& key, const QVariant& v);
    void remove(const QString& key);

    /// The message of the last failed read or write of the file, empty when it went well.
    QString lastError() const;

    static QString typeName(Type t);
    static std::optional<Type> typeFromName(const QString& name);

signals:
    /// A key's value changed (set to a different value, or removed). Emitted in the thread that
    /// wrote; equal writes emit nothing.
    void valueChanged(const QString& key);

private:
    void refreshLocked() const;
    bool writeLocked(const QString& key, const QVariant& v); // invalid v removes

    QString filePath_;
    mutable std::recursive_mutex mutex_;
    mutable QVariantMap values_;
    mutable qint64 loadedSize_ = -2;
    mutable qint64 loadedMtimeNs_ = -2;
    mutable qint64 loadedInode_ = -2;
    mutable QString lastError_;
};

} // namespace quillory
