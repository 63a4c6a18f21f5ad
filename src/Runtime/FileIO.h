#pragma once

#include "Runtime/Expected.h"

#include <QByteArray>
#include <QString>

#include <sys/types.h>

#include <chrono>
#include <optional>

/// File-system helpers for the files the program keeps for the user (settings, the diagnostics log,
/// exports): owner-only creation, whole-or-nothing replacement that checks every byte reached the
/// disk, and advisory locks shared with other processes of the user. Failures come back as a
/// `Expected` whose reason names the file and the system's message; a lock says why in `error()`.
namespace quillory::FileIO {

/// Which file a path named at some moment: enough to notice that another process replaced or
/// rewrote it.
struct FileIdentity {
    qint64 device = -1;
    qint64 inode = -1;
    qint64 size = -1;
    qint64 mtimeNs = -1;
    bool operator==(const FileIdentity&) const = default;
};

/// The identity of the file at `path` (links followed); nullopt when there is no file, a failure
/// ("cannot read <path>: <system message>") when it cannot be looked at.
Expected<std::optional<FileIdentity>> identityOf(const QString& path);
/// The identity of an open file; nullopt with `errno` set, as `fstat` leaves it.
std::optional<FileIdentity> identityOf(int fd);

/// "<what> <path>: <system message>" for an errno value.
QString describe(const QString& what, const QString& path, int error);

/// Creates `path` and any missing parents, each new folder owner-only (0700); folders that exist
/// keep their permissions. A failure names the folder and the reason.
Expected<> makePrivateDirectories(const QString& path);

/// Appends `bytes` to the owner-only (0600) file `path`, creating it; a symbolic link at `path`
/// is refused. A failure names the file and the reason.
Expected<> appendPrivate(const QString& path, const QByteArray& bytes);

/// What `replaceFile` does when `path` is a symbolic link.
enum class SymlinkPolicy {
    /// Writes the file the link leads to (settings kept in a dotfiles folder stay linked), when
    /// every link on the way belongs to `trustedOwner`; a link of anyone else is refused.
    followOwn,
    /// Replaces the link itself; whatever it pointed to is left alone (a path chosen in a shared
    /// folder, where someone else may have planted a link).
    replaceLink,
};

/// Replaces the file at `path` with `bytes`, whole or not at all: a temporary file beside it is
/// written, flushed to the disk and checked, then renamed over it. A short write, a failed flush or
/// a failed close cancels the replacement and leaves the old file as it was. The new file gets
/// `mode`, or with `keepExistingMode` the permissions of the (regular) file it replaces. The folder
/// must exist. A symbolic link at `path` is handled as `links` says; `trustedOwner` defaults to
/// the process's user. On success, the identity of the file now at the path.
Expected<FileIdentity> replaceFile(const QString& path, const QByteArray& bytes, mode_t mode,
                                 bool keepExistingMode = false, SymlinkPolicy links = SymlinkPolicy::followOwn,
                                 std::optional<uid_t> trustedOwner = {});

/// Removes the temporary files `replaceFile` leaves beside `path` when a process dies in the middle
/// of a replacement. Only safe while holding the lock that every writer of `path` takes.
void removeLeftoverTemporaries(const QString& path);

/// An advisory lock (`flock`) on a lock file, shared with other processes of the user; released when
/// destroyed. The lock file is created owner-only and never removed (removing it would let two
/// processes hold "the" lock at once).
class FileLock {
public:
    enum class Mode { Shared, Exclusive };

    /// Waits up to `timeout` (real time: the other holder is another process) for the lock.
    FileLock(const QString& lockPath, Mode mode,
             std::chrono::milliseconds timeout = std::chrono::seconds(10));
    ~FileLock();
    FileLock(const FileLock&) = delete;
    FileLock& operator=(const FileLock&) = delete;

    bool locked() const { return fd_ >= 0; }
    /// Why the lock could not be taken (empty when locked).
    QString error() const { return error_; }

private:
    int fd_ = -1;
    QString error_;
};

} // namespace quillory::FileIO
