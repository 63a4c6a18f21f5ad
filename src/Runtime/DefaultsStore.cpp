#include "Runtime/DefaultsStore.h"

#include "Runtime/Paths.h"
#include "Utilities/Log.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QJsonDocument>
#include <QJsonObject>
#include <QSaveFile>

#include <sys/stat.h>

#include <atomic>
#include <cmath>

namespace quillory {

namespace {
std::atomic<DefaultsStore*> g_testStore{nullptr};

const char* const kTypeNames[] = {"bool", "integer", "double", "string", "data"};

// File layout: {"version": 1, "values": {"key": {"bool": true}, "key2": {"data": "<base64>"}, ...}}
QJsonObject encodeValue(const QVariant& v) {
    QJsonObject o;
    switch (v.typeId()) {
    case QMetaType::Bool:
        o.insert(QStringLiteral("bool"), v.toBool());
        break;
    case QMetaType::LongLong:
        // JSON numbers lose precision past 2^53; integers are kept as decimal text.
        o.insert(QStringLiteral("integer"), QString::number(v.toLongLong()));
        break;
    case QMetaType::Double:
        o.insert(QStringLiteral("double"), v.toDouble());
        break;
    case QMetaType::QString:
        o.insert(QStringLiteral("string"), v.toString());
        break;
    case QMetaType::QByteArray:
        o.insert(QStringLiteral("data"), QString::fromLatin1(v.toByteArray().toBase64()));
        break;
    default:
        break;
    }
    return o;
}

std::optional<QVariant> decodeValue(const QJsonValue& jv) {
    if (!jv.isObject()) {
        return std::nullopt;
    }
    const QJsonObject o = jv.toObject();
    if (o.size() != 1) {
        return std::nullopt;
    }
    const QString type = o.begin().key();
    const QJsonValue val = o.begin().value();
    if (type == QLatin1String("bool") && val.isBool()) {
        return QVariant(val.toBool());
    }
    if (type == QLatin1String("integer") && val.isString()) {
        bool ok = false;
        const qlonglong n = val.toString().toLongLong(&ok);
        return ok ? std::optional<QVariant>(QVariant(n)) : std::nullopt;
    }
    if (type == QLatin1String("double") && val.isDouble()) {
        return QVariant(val.toDouble());
    }
    if (type == QLatin1String("string") && val.isString()) {
        return QVariant(val.toString());
    }
    if (type == QLatin1String("data") && val.isString()) {
        auto r = QByteArray::fromBase64Encoding(val.toString().toLatin1(),
                                                QByteArray::AbortOnBase64DecodingErrors);
        if (!r) {
            return std::nullopt;
        }
        return QVariant(*r);
    }
    return std::nullopt;
}

bool sameValue(const QVariant& a, const QVariant& b) {
    if (a.isValid() != b.isValid()) {
        return false;
    }
    if (!a.isValid()) {
        return true;
    }
    if (a.typeId() != b.typeId()) {
        return false;
    }
    if (a.typeId() == QMetaType::Double) {
        const double x = a.toDouble();
        const double y = b.toDouble();
        return x == y || (std::isnan(x) && std::isnan(y));
    }
    return a == b;
}

bool isStorable(const QVariant& v) {
    switch (v.typeId()) {
    case QMetaType::Bool:
    case QMetaType::LongLong:
    case QMetaType::Double:
    case QMetaType::QString:
    case QMetaType::QByteArray:
        return true;
    default:
        return false;
    }
}
} // namespace

DefaultsStore& DefaultsStore::standard() {
    if (auto* s = g_testStore.load()) {
        return *s;
    }
    static DefaultsStore store(Paths::configDirectory() + QStringLiteral("/defaults.json"));
    return store;
}

void DefaultsStore::setStandardForTesting(DefaultsStore* store) {
    g_testStore.store(store);
}

DefaultsStore::DefaultsStore(QString filePath, QObject* parent)
    : QObject(parent), filePath_(std::move(filePath)) {}

QString DefaultsStore::typeName(Type t) {
    return QString::fromLatin1(kTypeNames[static_cast<int>(t)]);
}

std::optional<DefaultsStore::Type> DefaultsStore::typeFromName(const QString& name) {
    for (int i = 0; i < 5; ++i) {
        if (name == QLatin1String(kTypeNames[i])) {
            return static_cast<Type>(i);
        }
    }
    return std::nullopt;
}

void DefaultsStore::refreshLocked() const {
    struct stat st {};
    const QByteArray path = QFile::encodeName(filePath_);
    if (::stat(path.constData(), &st) != 0) {
        if (loadedSize_ != -1) {
            values_.clear();
            loadedSize_ = -1;
            loadedMtimeNs_ = -1;
            loadedInode_ = -1;
        }
        return;
    }
    const qint64 mtimeNs = qint64(st.st_mtim.tv_sec) * 1000000000LL + st.st_mtim.tv_nsec;
    if (st.st_size == loadedSize_ && mtimeNs == loadedMtimeNs_ && qint64(st.st_ino) == loadedInode_) {
        return;
    }
    loadedSize_ = st.st_size;
    loadedMtimeNs_ = mtimeNs;
    loadedInode_ = qint64(st.st_ino);
    values_.clear();

    QFile file(filePath_);
    if (!file.open(QIODevice::ReadOnly)) {
        lastError_ = QStringLiteral("cannot read %1: %2").arg(filePath_, file.errorString());
        qCWarning(lcApp).noquote() << "Settings unreadable, using empty settings:" << lastError_;
        return;
    }
    QJsonParseError parseError{};
    const QJsonDocument doc = QJsonDocument::fromJson(file.readAll(), &parseError);
    const QJsonValue valuesJson = doc.object().value(QStringLiteral("values"));
    if (parseError.error != QJsonParseError::NoError || !doc.isObject() || !valuesJson.isObject()) {
        lastError_ = QStringLiteral("corrupt settings file %1: %2")
                         .arg(filePath_, parseError.error != QJsonParseError::NoError
                                             ? parseError.errorString()
                                             : QStringLiteral("unexpected layout"));
        qCWarning(lcApp).noquote() << "Settings corrupt, using empty settings:" << lastError_;
        return;
    }
    const QJsonObject obj = valuesJson.toObject();
    for (auto it = obj.begin(); it != obj.end(); ++it) {
        if (auto v = decodeValue(it.value())) {
            values_.insert(it.key(), *v);
        } else {
            qCWarning(lcApp).noquote() << "Settings: skipping undecodable value for" << it.key();
        }
    }
    lastError_.clear();
}

QVariant DefaultsStore::value(const QString& key) const {
    std::lock_guard lock(mutex_);
    refreshLocked();
    return values_.value(key);
}

std::optional<DefaultsStore::Type> DefaultsStore::typeOf(const QString& key) const {
    const QVariant v = value(key);
    switch (v.typeId()) {
    case QMetaType::Bool:
        return Type::Bool;
    case QMetaType::LongLong:
        return Type::Integer;
    case QMetaType::Double:
        return Type::Double;
    case QMetaType::QString:
        return Type::String;
    case QMetaType::QByteArray:
        return Type::Data;
    default:
        return std::nullopt;
    }
}

QStringList DefaultsStore::keys() const {
    std::lock_guard lock(mutex_);
    refreshLocked();
    return values_.keys();
}

std::optional<bool> DefaultsStore::boolValue(const QString& key) const {
    const QVariant v = value(key);
    if (v.typeId() == QMetaType::Bool) {
        return v.toBool();
    }
    return std::nullopt;
}

std::optional<qint64> DefaultsStore::integerValue(const QString& key) const {
    const QVariant v = value(key);
    if (v.typeId() == QMetaType::LongLong) {
        return v.toLongLong();
    }
    return std::nullopt;
}

std::optional<double> DefaultsStore::doubleValue(const QString& key) const {
    const QVariant v = value(key);
    if (v.typeId() == QMetaType::Double) {
        return v.toDouble();
    }
    if (v.typeId() == QMetaType::LongLong) {
        return double(v.toLongLong());
    }
    return std::nullopt;
}

std::optional<QString> DefaultsStore::stringValue(const QString& key) const {
    const QVariant v = value(key);
    if (v.typeId() == QMetaType::QString) {
        return v.toString();
    }
    return std::nullopt;
}

std::optional<QByteArray> DefaultsStore::dataValue(const QString& key) const {
    const QVariant v = value(key);
    if (v.typeId() == QMetaType::QByteArray) {
        return v.toByteArray();
    }
    return std::nullopt;
}

void DefaultsStore::setBool(const QString& key, bool v) {
    setValue(key, QVariant(v));
}
void DefaultsStore::setInteger(const QString& key, qint64 v) {
    setValue(key, QVariant(qlonglong(v)));
}
void DefaultsStore::setDouble(const QString& key, double v) {
    setValue(key, QVariant(v));
}
void DefaultsStore::setString(const QString& key, const QString& v) {
    setValue(key, QVariant(v));
}
void DefaultsStore::setData(const QString& key, const QByteArray& v) {
    setValue(key, QVariant(v));
}

bool DefaultsStore::setValue(const QString& key, const QVariant& v) {
    if (!isStorable(v)) {
        return false;
    }
    bool changed;
    {
        std::lock_guard lock(mutex_);
        changed = writeLocked(key, v);
    }
    if (changed) {
        emit valueChanged(key);
    }
    return true;
}

void DefaultsStore::remove(const QString& key) {
    bool changed;
    {
        std::lock_guard lock(mutex_);
        changed = writeLocked(key, QVariant());
    }
    if (changed) {
        emit valueChanged(key);
    }
}

QString DefaultsStore::lastError() const {
    std::lock_guard lock(mutex_);
    return lastError_;
}

bool DefaultsStore::writeLocked(const QString& key, const QVariant& v) {
    refreshLocked();
    if (sameValue(values_.value(key), v)) {
        return false;
    }
    if (v.isValid()) {
        values_.insert(key, v);
    } else {
        values_.remove(key);
    }

    QJsonObject valuesJson;
    for (auto it = values_.cbegin(); it != values_.cend(); ++it) {
        valuesJson.insert(it.key(), encodeValue(it.value()));
    }
    QJsonObject root;
    root.insert(QStringLiteral("version"), 1);
    root.insert(QStringLiteral("values"), valuesJson);

    QDir().mkpath(QFileInfo(filePath_).absolutePath());
    QSaveFile file(filePath_);
    if (!file.open(QIODevice::WriteOnly) ||
        file.write(QJsonDocument(root).toJson(QJsonDocument::Indented)) < 0 || !file.commit()) {
        lastError_ = QStringLiteral("cannot write %1: %2").arg(filePath_, file.errorString());
        qCWarning(lcApp).noquote() << "Settings not saved:" << lastError_;
        // The in-memory value stays, so this process keeps what it set; the file is unchanged,
        // so the next read does not reload over it.
        return true;
    }
    lastError_.clear();
    // Remember what we wrote so the next read does not reparse our own file.
    struct stat st {};
    if (::stat(QFile::encodeName(filePath_).constData(), &st) == 0) {
        loadedSize_ = st.st_size;
        loadedMtimeNs_ = qint64(st.st_mtim.tv_sec) * 1000000000LL + st.st_mtim.tv_nsec;
        loadedInode_ = qint64(st.st_ino);
    }
    return true;
}

} // namespace quillory
