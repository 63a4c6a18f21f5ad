#include "Runtime/DefaultsStore.h"

#include "Runtime/Paths.h"
#include "Runtime/Log.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QJsonDocument>
#include <QJsonObject>

#include <cerrno>
#include <fcntl.h>
#include <unistd.h>

#include <atomic>
#include <cmath>

namespace quillory {

namespace {
std::atomic<DefaultsStore*> g_testStore{nullptr};

/// Far beyond any real settings file; a larger one is not read into memory but treated as corrupt.
constexpr qsizetype kMaxFileBytes = 64 * 1024 * 1024;

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

void DefaultsStore::readFailedLocked(const QString& message) const {
    // Not cached: the identity stays unrecorded so the next use reads again, and the values last
    // read stay (a transient failure must not turn into "no settings").
    state_ = FileState::Unreadable;
    identity_.reset();
    if (message != readError_) {
        qCWarning(lcApp).noquote() << "Settings unreadable, keeping the values last read:" << message;
    }
    readError_ = message;
    lastError_ = message;
}

void DefaultsStore::refreshLocked() const {
    const auto looked = FileIO::identityOf(filePath_);
    if (!looked) {
        readFailedLocked(looked.error());
        return;
    }
    const std::optional<FileIO::FileIdentity>& current = looked.value();
    if (!current) {
        if (state_ != FileState::Absent) {
            values_.clear();
            state_ = FileState::Absent;
            identity_.reset();
            readError_.clear();
            lastError_.clear();
        }
        return;
    }
    if ((state_ == FileState::Loaded || state_ == FileState::Corrupt) && identity_ == *current) {
        return;
    }

    const QByteArray native = QFile::encodeName(filePath_);
    const int fd = ::open(native.constData(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) {
        if (errno == ENOENT) { // replaced between the two looks; the next use sees the new state
            return;
        }
        readFailedLocked(FileIO::describe(QStringLiteral("cannot read"), filePath_, errno));
        return;
    }
    // The identity of the file actually read, taken from the open file.
    const auto identity = FileIO::identityOf(fd);
    QByteArray bytes;
    int readError = identity ? 0 : errno;
    bool tooLarge = identity && identity->size > kMaxFileBytes;
    char buffer[65536];
    while (readError == 0 && !tooLarge) {
        const ssize_t n = ::read(fd, buffer, sizeof buffer);
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n < 0) {
            readError = errno;
        } else if (n == 0) {
            break;
        } else {
            bytes.append(buffer, n);
            tooLarge = bytes.size() > kMaxFileBytes;
        }
    }
    ::close(fd);
    if (readError != 0) {
        readFailedLocked(FileIO::describe(QStringLiteral("cannot read"), filePath_, readError));
        return;
    }

    identity_ = identity;
    values_.clear();
    QJsonParseError parseError{};
    const QJsonDocument doc = tooLarge ? QJsonDocument() : QJsonDocument::fromJson(bytes, &parseError);
    const QJsonValue valuesJson = doc.object().value(QStringLiteral("values"));
    if (tooLarge || parseError.error != QJsonParseError::NoError || !doc.isObject() ||
        !valuesJson.isObject()) {
        state_ = FileState::Corrupt;
        readError_ = QStringLiteral("corrupt settings file %1: %2")
                         .arg(filePath_, tooLarge ? QStringLiteral("larger than %1 bytes").arg(kMaxFileBytes)
                                         : parseError.error != QJsonParseError::NoError
                                             ? parseError.errorString()
                                             : QStringLiteral("unexpected layout"));
        lastError_ = readError_;
        qCWarning(lcApp).noquote() << "Settings corrupt, using empty settings:" << readError_;
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
    state_ = FileState::Loaded;
    readError_.clear();
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

bool DefaultsStore::setBool(const QString& key, bool v) {
    return setValue(key, QVariant(v));
}
bool DefaultsStore::setInteger(const QString& key, qint64 v) {
    return setValue(key, QVariant(qlonglong(v)));
}
bool DefaultsStore::setDouble(const QString& key, double v) {
    return setValue(key, QVariant(v));
}
bool DefaultsStore::setString(const QString& key, const QString& v) {
    return setValue(key, QVariant(v));
}
bool DefaultsStore::setData(const QString& key, const QByteArray& v) {
    return setValue(key, QVariant(v));
}

bool DefaultsStore::setValue(const QString& key, const QVariant& v) {
    return update(key, [&v](const QVariant&) { return std::optional<QVariant>(v); });
}

bool DefaultsStore::remove(const QString& key) {
    return update(key, [](const QVariant&) { return std::optional<QVariant>(QVariant()); });
}

bool DefaultsStore::update(const QString& key, const Change& change) {
    bool changed = false;
    bool ok;
    {
        std::lock_guard lock(mutex_);
        ok = writeLocked(key, change, changed);
    }
    if (changed) {
        emit valueChanged(key);
    }
    return ok;
}

QString DefaultsStore::lastError() const {
    std::lock_guard lock(mutex_);
    return lastError_;
}

QString DefaultsStore::readError() const {
    std::lock_guard lock(mutex_);
    refreshLocked();
    return readError_;
}

void DefaultsStore::keepCorruptFileLocked() {
    if (!identity_ || identity_->size == 0) {
        return;
    }
    const QString aside = filePath_ + QStringLiteral(".corrupt");
    const QByteArray nativeAside = QFile::encodeName(aside);
    ::unlink(nativeAside.constData());
    // A hard link keeps the bytes without copying them (the file a symbolic link names, if it is one).
    if (::linkat(AT_FDCWD, QFile::encodeName(filePath_).constData(), AT_FDCWD, nativeAside.constData(),
                 AT_SYMLINK_FOLLOW) != 0 &&
        !QFile::copy(filePath_, aside)) {
        qCWarning(lcApp).noquote() << "Settings: could not keep the corrupt file as" << aside;
        return;
    }
    qCWarning(lcApp).noquote() << "Settings: the corrupt file was kept as" << aside;
}

bool DefaultsStore::writeLocked(const QString& key, const Change& change, bool& changed) {
    lastError_.clear();
    auto refuse = [&](const QString& message) {
        lastError_ = message;
        qCWarning(lcApp).noquote() << "Settings not saved:" << message;
        return false;
    };
    // Writes into memory only, when the file can't be written: this process keeps what it set.
    auto keepInMemory = [&](const QVariant& next) {
        if (!sameValue(values_.value(key), next)) {
            next.isValid() ? void(values_.insert(key, next)) : void(values_.remove(key));
            changed = true;
        }
    };

    const Expected<> directory = FileIO::makePrivateDirectories(QFileInfo(filePath_).absolutePath());
    std::optional<FileIO::FileLock> fileLock;
    if (directory) {
        fileLock.emplace(filePath_ + QStringLiteral(".lock"), FileIO::FileLock::Mode::Exclusive);
    }
    // Under the lock the file can't change between this read and the replacement below.
    refreshLocked();
    const std::optional<QVariant> next = change(values_.value(key));
    if (!next || sameValue(values_.value(key), *next)) {
        // Nothing to write; a read error met on the way is still reported.
        return state_ != FileState::Unreadable ? true : refuse(readError_);
    }
    if (next->isValid() && !isStorable(*next)) {
        return refuse(QStringLiteral("%1: values of type %2 can't be stored")
                          .arg(key, QString::fromLatin1(next->typeName())));
    }
    if (next->typeId() == QMetaType::Double && !std::isfinite(next->toDouble())) {
        return refuse(QStringLiteral("%1: %2 is not a finite number").arg(key, next->toString()));
    }
    if (!directory) {
        keepInMemory(*next);
        return refuse(directory.error());
    }
    if (!fileLock->locked()) {
        keepInMemory(*next);
        return refuse(fileLock->error());
    }
    if (state_ == FileState::Unreadable) {
        // Never replace a file that could not be read: its keys would be lost.
        keepInMemory(*next);
        return refuse(readError_);
    }

    QVariantMap updated = values_;
    next->isValid() ? void(updated.insert(key, *next)) : void(updated.remove(key));
    QJsonObject valuesJson;
    for (auto it = updated.cbegin(); it != updated.cend(); ++it) {
        valuesJson.insert(it.key(), encodeValue(it.value()));
    }
    QJsonObject root;
    root.insert(QStringLiteral("version"), 1);
    root.insert(QStringLiteral("values"), valuesJson);

    if (state_ == FileState::Corrupt) {
        keepCorruptFileLocked();
    }
    FileIO::removeLeftoverTemporaries(filePath_);
    const Expected<FileIO::FileIdentity> written =
        FileIO::replaceFile(filePath_, QJsonDocument(root).toJson(QJsonDocument::Indented), 0600);
    if (!written) {
        // The file is unchanged and its identity still recorded, so the next read does not reload
        // over the value kept in memory.
        keepInMemory(*next);
        return refuse(written.error());
    }
    values_ = std::move(updated);
    changed = true;
    state_ = FileState::Loaded;
    identity_ = written.value(); // the file we wrote, not whatever the path names by now
    readError_.clear();
    return true;
}

} // namespace quillory
