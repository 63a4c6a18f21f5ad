#include "Utilities/CommitDiagnostics.h"

#include "Runtime/FileIO.h"
#include "Runtime/Paths.h"
#include "Runtime/Scheduler.h"
#include "Utilities/BuildInfo.h"

#include <QFile>
#include <QSysInfo>

#include <cerrno>
#include <condition_variable>
#include <cstring>
#include <ctime>
#include <deque>
#include <fcntl.h>
#include <mutex>
#include <pthread.h>
#include <sys/stat.h>
#include <thread>
#include <unistd.h>
#include <vector>

namespace quillory::CommitDiagnostics {

namespace {

struct Entry {
    Level level;
    QString category;
    QString message;
    qint64 msecs;
};

struct Locations {
    QString directory;
    QByteArray current;
    QByteArray rotated;
    QString lock;
    explicit Locations(const QString& d)
        : directory(d), current(QFile::encodeName(d + QStringLiteral("/commit.log"))),
          rotated(QFile::encodeName(d + QStringLiteral("/commit.log.1"))),
          lock(d + QStringLiteral("/commit.log.lock")) {}
};

/// Writes as much of `data` as the file takes; returns the number of bytes written.
qint64 writeSome(int fd, const char* data, qint64 size) {
    qint64 done = 0;
    while (done < size) {
        const ssize_t n = ::write(fd, data + done, size_t(size - done));
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n <= 0) {
            break;
        }
        done += n;
    }
    return done;
}

/// Appends whole lines to commit.log. When the file takes only part of them (a full disk, a file
/// size limit), it is cut back to the end of the last complete line, so a torn line (a lone byte
/// of a Japanese character, say) never stays to spoil what follows. Returns the size afterwards,
/// or -1 when commit.log can't be opened.
qint64 appendLines(const QByteArray& path, const QByteArray& lines) {
    const int fd = ::open(path.constData(), O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0600);
    if (fd < 0) {
        return -1;
    }
    struct stat st {};
    const qint64 before = ::fstat(fd, &st) == 0 ? qint64(st.st_size) : -1;
    const qint64 written = writeSome(fd, lines.constData(), lines.size());
    qint64 after = before + written;
    if (written < lines.size() && before >= 0) {
        const qsizetype lastLineEnd = written > 0 ? lines.lastIndexOf('\n', written - 1) : -1;
        after = before + (lastLineEnd + 1);
        if (::ftruncate(fd, after) != 0) {
            after = ::fstat(fd, &st) == 0 ? qint64(st.st_size) : -1;
        }
    }
    ::close(fd);
    return after;
}

/// The one writer: a thread that drains the queue in order.
class Writer {
public:
    Writer() : locations_(Paths::dataDirectory() + QStringLiteral("/Diagnostics")) {
        thread_ = std::thread([this] { run(); });
    }

    ~Writer() {
        {
            std::lock_guard lock(mutex_);
            stopping_ = true;
        }
        wake_.notify_all();
        thread_.join();
    }

    void push(Entry&& e) {
        bool wake;
        {
            std::lock_guard lock(mutex_);
            queue_.push_back(std::move(e));
            wake = idle_;
            idle_ = false;
        }
        if (wake) {
            wake_.notify_one();
        }
    }

    void waitUntilWritten() {
        std::unique_lock lock(mutex_);
        const quint64 target = enqueuedTotal();
        drained_.wait(lock, [&] { return written_ >= target; });
    }

    Locations locations() {
        std::lock_guard lock(mutex_);
        return locations_;
    }

    void setDirectory(const QString& d) {
        waitUntilWritten();
        std::lock_guard lock(mutex_);
        locations_ = Locations(d);
    }

private:
    quint64 enqueuedTotal() const { return taken_ + queue_.size(); }

    void run() {
        pthread_setname_np(pthread_self(), "quillory-diag");
        std::vector<Entry> batch;
        for (;;) {
            Locations where(QString{});
            {
                std::unique_lock lock(mutex_);
                wake_.wait(lock, [&] {
                    idle_ = queue_.empty();
                    return !queue_.empty() || stopping_;
                });
                if (queue_.empty() && stopping_) {
                    return;
                }
                batch.assign(std::make_move_iterator(queue_.begin()), std::make_move_iterator(queue_.end()));
                queue_.clear();
                taken_ += batch.size();
                where = locations_;
            }
            writeBatch(where, batch);
            batch.clear();
            {
                std::lock_guard lock(mutex_);
                written_ = taken_;
            }
            drained_.notify_all();
        }
    }

    // Appends the lines with the rotation rule applied before each one: when commit.log is
    // larger than the threshold, commit.log.1 is replaced by it and a fresh commit.log begins.
    // Lines between two rotation points go out in one write. Other processes of the user (a second
    // tray instance, the command line) write the same files, so the whole check-rotate-append runs
    // under the log's lock file; without it two writers could both rotate and the second would
    // replace a full generation with a few fresh lines.
    static void writeBatch(const Locations& where, const std::vector<Entry>& batch) {
        (void)FileIO::makePrivateDirectories(where.directory); // best effort, as below
        // Best effort, like every part of the log: when the lock can't be had the lines are still
        // written.
        const FileIO::FileLock lock(where.lock, FileIO::FileLock::Mode::Exclusive, std::chrono::seconds(2));

        QByteArray pending;
        struct stat st {};
        // Size of commit.log on disk plus what is pending; -1: unknown or absent.
        qint64 size = ::stat(where.current.constData(), &st) == 0 ? qint64(st.st_size) : -1;

        auto flush = [&] {
            if (pending.isEmpty()) {
                return;
            }
            size = appendLines(where.current, pending);
            pending.clear();
        };
        auto rotateIfNeeded = [&] {
            if (size > kRotationThresholdBytes) {
                flush();
                if (size <= kRotationThresholdBytes) {
                    return; // the append was cut back: nothing to rotate after all
                }
                ::unlink(where.rotated.constData());
                if (::rename(where.current.constData(), where.rotated.constData()) == 0) {
                    size = -1;
                }
            }
        };

        for (const Entry& e : batch) {
            const QByteArray line =
                formatLine(e.level, e.category, e.message, QDateTime::fromMSecsSinceEpoch(e.msecs, Qt::UTC));
            rotateIfNeeded();
            if (line.isEmpty()) {
                continue;
            }
            pending.append(line);
            size = std::max<qint64>(size, 0) + line.size();
        }
        flush();
    }

    std::mutex mutex_;
    std::condition_variable wake_;
    std::condition_variable drained_;
    std::deque<Entry> queue_;
    quint64 taken_ = 0;
    quint64 written_ = 0;
    bool idle_ = true;
    bool stopping_ = false;
    Locations locations_;
    std::thread thread_;
};

Writer& writer() {
    static Writer w;
    return w;
}

void appendPadded(char*& p, int value, int width) {
    for (int i = width - 1; i >= 0; --i) {
        p[i] = char('0' + value % 10);
        value /= 10;
    }
    p += width;
}

} // namespace

QString rawValue(Level level) {
    switch (level) {
    case Level::Info:
        return QStringLiteral("INFO ");
    case Level::Notice:
        return QStringLiteral("NOTE ");
    case Level::Error:
        return QStringLiteral("ERROR");
    }
    return QStringLiteral("ERROR");
}

std::optional<Level> levelFromRawValue(const QString& raw) {
    for (Level l : {Level::Info, Level::Notice, Level::Error}) {
        if (raw == rawValue(l)) {
            return l;
        }
    }
    return std::nullopt;
}

QString logDirectory() {
    return writer().locations().directory;
}
QString currentLogURL() {
    return QFile::decodeName(writer().locations().current);
}
QString rotatedLogURL() {
    return QFile::decodeName(writer().locations().rotated);
}
QString lockURL() {
    return writer().locations().lock;
}

QByteArray formatTimestamp(qint64 msecs) {
    const qint64 secs = msecs >= 0 ? msecs / 1000 : (msecs - 999) / 1000;
    const int millis = int(msecs - secs * 1000);
    const time_t t = time_t(secs);
    struct tm tm {};
    gmtime_r(&t, &tm);
    char buf[32];
    char* p = buf;
    appendPadded(p, tm.tm_year + 1900, 4);
    *p++ = '-';
    appendPadded(p, tm.tm_mon + 1, 2);
    *p++ = '-';
    appendPadded(p, tm.tm_mday, 2);
    *p++ = 'T';
    appendPadded(p, tm.tm_hour, 2);
    *p++ = ':';
    appendPadded(p, tm.tm_min, 2);
    *p++ = ':';
    appendPadded(p, tm.tm_sec, 2);
    *p++ = '.';
    appendPadded(p, millis, 3);
    *p++ = 'Z';
    return QByteArray(buf, int(p - buf));
}

QByteArray formatLine(Level level, const QString& category, const QString& message, const QDateTime& date) {
    QByteArray out;
    const QByteArray cat = category.toUtf8();
    const QByteArray msg = message.toUtf8();
    out.reserve(24 + 4 + cat.size() + 6 + 1 + msg.size() + 1);
    out.append(formatTimestamp(date.toMSecsSinceEpoch()));
    out.append(" [", 2);
    out.append(cat);
    out.append("] ", 2);
    out.append(rawValue(level).toLatin1());
    out.append(' ');
    out.append(msg);
    out.append('\n');
    return out;
}

std::optional<QDateTime> parseTimestamp(QStringView s) {
    // YYYY-MM-DDTHH:MM:SS.f+ then Z or +HH:MM / -HH:MM
    auto digits = [&](qsizetype pos, int count, int& out) {
        if (pos + count > s.size()) {
            return false;
        }
        int v = 0;
        for (int i = 0; i < count; ++i) {
            const QChar c = s[pos + i];
            if (c < QLatin1Char('0') || c > QLatin1Char('9')) {
                return false;
            }
            v = v * 10 + (c.unicode() - '0');
        }
        out = v;
        return true;
    };
    auto at = [&](qsizetype pos, char c) { return pos < s.size() && s[pos] == QLatin1Char(c); };
    int year, month, day, hour, minute, second;
    if (!digits(0, 4, year) || !at(4, '-') || !digits(5, 2, month) || !at(7, '-') || !digits(8, 2, day) ||
        !at(10, 'T') || !digits(11, 2, hour) || !at(13, ':') || !digits(14, 2, minute) || !at(16, ':') ||
        !digits(17, 2, second) || !at(19, '.')) {
        return std::nullopt;
    }
    qsizetype pos = 20;
    int millis = 0;
    int fractionDigits = 0;
    while (pos < s.size() && s[pos].isDigit() && s[pos].unicode() < 0x80) {
        if (fractionDigits < 3) {
            millis = millis * 10 + (s[pos].unicode() - '0');
        }
        ++fractionDigits;
        ++pos;
    }
    if (fractionDigits == 0) {
        return std::nullopt;
    }
    for (int i = fractionDigits; i < 3; ++i) {
        millis *= 10;
    }
    int offsetSeconds = 0;
    if (at(pos, 'Z')) {
        ++pos;
    } else if (at(pos, '+') || at(pos, '-')) {
        const int sign = at(pos, '+') ? 1 : -1;
        int oh, om;
        if (!digits(pos + 1, 2, oh) || !at(pos + 3, ':') || !digits(pos + 4, 2, om) || oh > 23 || om > 59) {
            return std::nullopt;
        }
        offsetSeconds = sign * (oh * 3600 + om * 60);
        pos += 6;
    } else {
        return std::nullopt;
    }
    if (pos != s.size()) {
        return std::nullopt;
    }
    const QDate date(year, month, day);
    const QTime time(hour, minute, second, millis);
    if (!date.isValid() || !time.isValid()) {
        return std::nullopt;
    }
    return QDateTime(date, time, Qt::UTC).addSecs(-offsetSeconds);
}

void record(Level level, const QString& category, const QString& message, const QDateTime& date) {
    writer().push(Entry{level, category, message, date.toMSecsSinceEpoch()});
}

void record(Level level, const QString& message) {
    record(level, QStringLiteral("commit"), message, Scheduler::current().wallNow());
}

QString operatingSystemVersion() {
    return QStringLiteral("%1 (%2 %3)")
        .arg(QSysInfo::prettyProductName(), QSysInfo::kernelType(), QSysInfo::kernelVersion());
}

QString environmentSummary(const std::optional<QString>& version, const std::optional<QString>& build,
                           const QString& os) {
    const QString q = QStringLiteral("?");
    return QStringLiteral("quillory_version=%1 build=%2 os=%3")
        .arg(version.value_or(q), build.value_or(q), os);
}

QString environmentSummary() {
    return environmentSummary(BuildInfo::shortVersion(), BuildInfo::buildIdentifier(),
                              operatingSystemVersion());
}

void recordSessionBoundary() {
    record(Level::Notice, QStringLiteral("session"), QStringLiteral("boot ") + environmentSummary(),
           Scheduler::current().wallNow());
}

QStringList snapshotURLs() {
    QStringList out;
    const Locations where = writer().locations();
    struct stat st {};
    if (::stat(where.rotated.constData(), &st) == 0) {
        out << QFile::decodeName(where.rotated);
    }
    if (::stat(where.current.constData(), &st) == 0) {
        out << QFile::decodeName(where.current);
    }
    return out;
}

void waitUntilWritten() {
    writer().waitUntilWritten();
}

void setLogDirectoryForTesting(const QString& directory) {
    writer().setDirectory(directory);
}

} // namespace quillory::CommitDiagnostics
