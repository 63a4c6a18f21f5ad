#pragma once

// Ways to make the disk say no, for the tests of the files the program keeps.

#include <QByteArray>
#include <QDir>
#include <QFile>
#include <QString>

#include <csignal>
#include <sys/mount.h>
#include <sys/resource.h>
#include <unistd.h>

namespace quillory::testing {

/// While alive, no file of this process may grow past `bytes` (RLIMIT_FSIZE, with SIGXFSZ ignored):
/// a write that would cross the limit is cut short and the next one fails with EFBIG, as on a full
/// disk. Applies to every thread of the process (the diagnostics writer too).
class FileSizeLimit {
public:
    explicit FileSizeLimit(rlim_t bytes) {
        ::getrlimit(RLIMIT_FSIZE, &saved_);
        previousHandler_ = std::signal(SIGXFSZ, SIG_IGN);
        rlimit limit = saved_;
        limit.rlim_cur = bytes;
        ::setrlimit(RLIMIT_FSIZE, &limit);
    }
    ~FileSizeLimit() {
        ::setrlimit(RLIMIT_FSIZE, &saved_);
        std::signal(SIGXFSZ, previousHandler_);
    }
    FileSizeLimit(const FileSizeLimit&) = delete;
    FileSizeLimit& operator=(const FileSizeLimit&) = delete;

private:
    rlimit saved_{};
    void (*previousHandler_)(int) = SIG_DFL;
};

/// While alive, opening any new file fails with EMFILE ("too many open files").
class NoFreeDescriptors {
public:
    NoFreeDescriptors() {
        ::getrlimit(RLIMIT_NOFILE, &saved_);
        const int lowestFree = ::dup(0);
        ::close(lowestFree);
        rlimit limit = saved_;
        limit.rlim_cur = rlim_t(lowestFree);
        ::setrlimit(RLIMIT_NOFILE, &limit);
    }
    ~NoFreeDescriptors() { ::setrlimit(RLIMIT_NOFILE, &saved_); }
    NoFreeDescriptors(const NoFreeDescriptors&) = delete;
    NoFreeDescriptors& operator=(const NoFreeDescriptors&) = delete;

private:
    rlimit saved_{};
};

/// A small tmpfs mounted at `directory` for the life of the object (needs the right to mount, as
/// root in CI; `mounted()` is false elsewhere and the test skips). `options` such as "size=64k" or
/// "ro".
class TinyTmpfs {
public:
    TinyTmpfs(const QString& directory, const char* options) : directory_(directory) {
        QDir().mkpath(directory);
        mounted_ = ::mount("tmpfs", QFile::encodeName(directory).constData(), "tmpfs", 0, options) == 0;
    }
    ~TinyTmpfs() {
        if (mounted_) {
            ::umount2(QFile::encodeName(directory_).constData(), MNT_DETACH);
        }
    }
    TinyTmpfs(const TinyTmpfs&) = delete;
    TinyTmpfs& operator=(const TinyTmpfs&) = delete;

    bool mounted() const { return mounted_; }

    /// Fills the file system until a write fails; the file `filler` holds the bytes.
    void fill() const {
        QFile f(directory_ + QStringLiteral("/filler"));
        if (!f.open(QIODevice::WriteOnly | QIODevice::Unbuffered)) {
            return;
        }
        const QByteArray block(512, 'f');
        while (f.write(block) == block.size()) {
        }
        // Leave less than one small file's worth: single bytes until nothing more fits.
        while (f.write("f", 1) == 1) {
        }
    }

private:
    QString directory_;
    bool mounted_ = false;
};

} // namespace quillory::testing
