#include "Runtime/FileIO.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <thread>
#include <unistd.h>

namespace quillory::FileIO {

namespace {
FileIdentity fromStat(const struct stat& st) {
    return FileIdentity{qint64(st.st_dev), qint64(st.st_ino), qint64(st.st_size),
                        qint64(st.st_mtim.tv_sec) * 1000000000LL + st.st_mtim.tv_nsec};
}
} // namespace

Expected<std::optional<FileIdentity>> identityOf(const QString& path) {
    struct stat st {};
    if (::stat(QFile::encodeName(path).constData(), &st) != 0) {
        const int error = errno;
        if (error == ENOENT) {
            return std::optional<FileIdentity>();
        }
        return Failure{describe(QStringLiteral("cannot read"), path, error)};
    }
    return std::optional(fromStat(st));
}

std::optional<FileIdentity> identityOf(int fd) {
    struct stat st {};
    if (::fstat(fd, &st) != 0) {
        return std::nullopt;
    }
    return fromStat(st);
}

QString describe(const QString& what, const QString& path, int error) {
    return QStringLiteral("%1 %2: %3").arg(what, path, QString::fromLocal8Bit(std::strerror(error)));
}

Expected<> makePrivateDirectories(const QString& path) {
    const QByteArray native = QFile::encodeName(path);
    struct stat st {};
    if (::stat(native.constData(), &st) == 0) {
        if (!S_ISDIR(st.st_mode)) {
            return Failure{describe(QStringLiteral("cannot create folder"), path, ENOTDIR)};
        }
        return {};
    }
    const qsizetype slash = path.lastIndexOf(QLatin1Char('/'));
    if (slash > 0) {
        if (Expected<> parent = makePrivateDirectories(path.left(slash)); !parent) {
            return parent;
        }
    }
    if (::mkdir(native.constData(), 0700) != 0 && errno != EEXIST) {
        return Failure{describe(QStringLiteral("cannot create folder"), path, errno)};
    }
    return {};
}

namespace {
/// Writes `bytes` to `fd` completely, retrying short writes and interruptions; returns 0 or errno.
int writeAll(int fd, const char* data, qint64 size) {
    while (size > 0) {
        const ssize_t n = ::write(fd, data, size_t(size));
        if (n < 0) {
            if (errno == EINTR) {
                continue;
            }
            return errno;
        }
        if (n == 0) {
            return EIO;
        }
        data += n;
        size -= n;
    }
    return 0;
}

} // namespace

Expected<> appendPrivate(const QString& path, const QByteArray& bytes) {
    const int fd = ::open(QFile::encodeName(path).constData(), O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC | O_NOFOLLOW,
                          0600);
    if (fd < 0) {
        return Failure{describe(QStringLiteral("cannot open"), path, errno)};
    }
    const int written = writeAll(fd, bytes.constData(), bytes.size());
    const int closed = ::close(fd) == 0 ? 0 : errno;
    if (written != 0 || closed != 0) {
        return Failure{describe(QStringLiteral("cannot write"), path, written != 0 ? written : closed)};
    }
    return {};
}

namespace {
constexpr int kMaxLinkDepth = 40;

/// The file a replacement of `path` writes: the path itself when it is no symbolic link, else the
/// end of its chain of links when each link belongs to `owner`. Empty, with `error` set, when a
/// link belongs to someone else (EPERM) or the chain does not end (ELOOP).
QString followOwnLinks(const QString& path, uid_t owner, int* error) {
    QString current = path;
    for (int depth = 0; depth <= kMaxLinkDepth; ++depth) {
        struct stat st {};
        if (::lstat(QFile::encodeName(current).constData(), &st) != 0 || !S_ISLNK(st.st_mode)) {
            return current; // a file, or nothing yet: it is created there
        }
        if (st.st_uid != owner) {
            *error = EPERM;
            return {};
        }
        const QString target = QFileInfo(current).symLinkTarget();
        if (target.isEmpty()) {
            return current;
        }
        current = target;
    }
    *error = ELOOP;
    return {};
}

QString temporaryPrefix(const QFileInfo& target) {
    return QStringLiteral(".") + target.fileName() + QLatin1Char('.');
}
} // namespace

void removeLeftoverTemporaries(const QString& path) {
    int error = 0;
    const QString resolved = followOwnLinks(path, ::geteuid(), &error);
    const QFileInfo target(resolved.isEmpty() ? path : resolved);
    QDir folder = target.absoluteDir();
    const QString prefix = temporaryPrefix(target);
    for (const QString& name :
         folder.entryList({prefix + QStringLiteral("??????")}, QDir::Files | QDir::Hidden | QDir::System)) {
        folder.remove(name);
    }
}

Expected<FileIdentity> replaceFile(const QString& path, const QByteArray& bytes, mode_t mode,
                                 bool keepExistingMode, SymlinkPolicy links, std::optional<uid_t> trustedOwner) {
    const QString what = QStringLiteral("cannot write");
    QString target = path;
    if (links == SymlinkPolicy::followOwn) {
        int error = 0;
        target = followOwnLinks(path, trustedOwner.value_or(::geteuid()), &error);
        if (target.isEmpty()) {
            return Failure{
                error == EPERM
                    ? QStringLiteral("%1 %2: a symbolic link of another user is not followed").arg(what, path)
                    : describe(what, path, error)};
        }
    }
    const QByteArray nativeTarget = QFile::encodeName(target);
    mode_t finalMode = mode;
    // The permissions of the file replaced; never those of a link's target that is left alone.
    if (struct stat st{};
        keepExistingMode && ::lstat(nativeTarget.constData(), &st) == 0 && S_ISREG(st.st_mode)) {
        finalMode = st.st_mode & 07777;
    }

    const QFileInfo targetInfo(target);
    QByteArray temporary = QFile::encodeName(targetInfo.absolutePath() + QLatin1Char('/') +
                                             temporaryPrefix(targetInfo) + QStringLiteral("XXXXXX"));
    const int fd = ::mkostemp(temporary.data(), O_CLOEXEC); // created 0600
    if (fd < 0) {
        return Failure{describe(what, target, errno)};
    }
    int error = 0;
    if (finalMode != 0600 && ::fchmod(fd, finalMode) != 0) {
        error = errno;
    }
    if (error == 0) {
        error = writeAll(fd, bytes.constData(), bytes.size());
    }
    // The flush is where a full disk shows on file systems that allocate late; its result counts.
    if (error == 0 && ::fsync(fd) != 0) {
        error = errno;
    }
    std::optional<FileIdentity> identity;
    if (error == 0) {
        identity = identityOf(fd);
        if (!identity || identity->size != bytes.size()) {
            error = EIO;
        }
    }
    if (::close(fd) != 0 && error == 0) {
        error = errno;
    }
    if (error == 0 && ::rename(temporary.constData(), nativeTarget.constData()) != 0) {
        error = errno;
    }
    if (error != 0) {
        ::unlink(temporary.constData());
        return Failure{describe(what, target, error)};
    }
    // Make the rename itself durable; a failure here leaves a complete file either way.
    const int dirFd =
        ::open(QFile::encodeName(targetInfo.absolutePath()).constData(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (dirFd >= 0) {
        ::fsync(dirFd);
        ::close(dirFd);
    }
    return *identity;
}

FileLock::FileLock(const QString& lockPath, Mode mode, std::chrono::milliseconds timeout) {
    const QByteArray native = QFile::encodeName(lockPath);
    int fd = ::open(native.constData(), O_RDWR | O_CREAT | O_CLOEXEC | O_NOFOLLOW, 0600);
    if (fd < 0 && mode == Mode::Shared && (errno == EACCES || errno == EROFS)) {
        fd = ::open(native.constData(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW);
    }
    if (fd < 0) {
        error_ = describe(QStringLiteral("cannot open the lock file"), lockPath, errno);
        return;
    }
    const int operation = (mode == Mode::Shared ? LOCK_SH : LOCK_EX) | LOCK_NB;
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    auto pause = std::chrono::milliseconds(1);
    for (;;) {
        if (::flock(fd, operation) == 0) {
            fd_ = fd;
            return;
        }
        if (errno == EINTR) {
            continue;
        }
        if (errno != EWOULDBLOCK || std::chrono::steady_clock::now() >= deadline) {
            error_ = errno == EWOULDBLOCK ? QStringLiteral("%1 is held by another process").arg(lockPath)
                                          : describe(QStringLiteral("cannot lock"), lockPath, errno);
            ::close(fd);
            return;
        }
        std::this_thread::sleep_for(pause);
        pause = std::min(pause * 2, std::chrono::milliseconds(16));
    }
}

FileLock::~FileLock() {
    if (fd_ >= 0) {
        ::close(fd_); // closing the only descriptor releases the lock
    }
}

} // namespace quillory::FileIO
