#include "Utilities/CommitDiagnostics.h"

#include "support/CoreTest.h"
#include "support/DiskLimits.h"

#include <QDir>
#include <QFile>
#include <QRegularExpression>
#include <QStringDecoder>

#include <sys/stat.h>

using namespace quillory;
using quillory::testing::CoreTest;

namespace {

class CommitDiagnosticsTest : public CoreTest {
protected:
    QString dir() const { return CommitDiagnostics::logDirectory(); }
    QByteArray read(const QString& p) const {
        CommitDiagnostics::waitUntilWritten();
        QFile f(p);
        return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray();
    }
    void writeFile(const QString& p, qint64 size, char fill) {
        QDir().mkpath(dir());
        QFile f(p);
        ASSERT_TRUE(f.open(QIODevice::WriteOnly));
        f.write(QByteArray(size, fill));
    }
    static QDateTime at(int h, int m, int s, int ms) {
        return QDateTime(QDate(2026, 3, 14), QTime(h, m, s, ms), Qt::UTC);
    }
};

} // namespace

TEST_F(CommitDiagnosticsTest, LinesAreFormattedByteForByteWithLevelsThatParseExactly) {
    using L = CommitDiagnostics::Level;
    EXPECT_EQ(CommitDiagnostics::formatLine(L::Notice, QStringLiteral("commit"),
                                            QStringLiteral("stage=start session=12"), at(8, 15, 2, 417)),
              QByteArray("2026-03-14T08:15:02.417Z [commit] NOTE  stage=start session=12\n"));
    EXPECT_EQ(
        CommitDiagnostics::formatLine(L::Info, QStringLiteral("commit"), QStringLiteral("x"), at(0, 0, 0, 5)),
        QByteArray("2026-03-14T00:00:00.005Z [commit] INFO  x\n"));
    EXPECT_EQ(CommitDiagnostics::formatLine(L::Error, QStringLiteral("session"), QStringLiteral("日本語"),
                                            at(23, 59, 59, 999)),
              QByteArray("2026-03-14T23:59:59.999Z [session] ERROR ") + QStringLiteral("日本語").toUtf8() +
                  "\n");
    // A local time is written in UTC.
    const QDateTime tokyo = at(8, 0, 0, 0).toTimeZone(QTimeZone("Asia/Tokyo"));
    EXPECT_TRUE(CommitDiagnostics::formatLine(L::Info, QStringLiteral("c"), QStringLiteral("m"), tokyo)
                    .startsWith("2026-03-14T08:00:00.000Z"));
    // The five-character level read back: only exactly as written.
    EXPECT_EQ(CommitDiagnostics::levelFromRawValue(QStringLiteral("NOTE ")), L::Notice);
    EXPECT_FALSE(CommitDiagnostics::levelFromRawValue(QStringLiteral("NOTE")));
    EXPECT_FALSE(CommitDiagnostics::levelFromRawValue(QStringLiteral("info ")));
}

TEST_F(CommitDiagnosticsTest, TheFirstRecordCreatesTheFileAndEachIsWrittenExactlyLineFeedsIncluded) {
    ASSERT_FALSE(QDir(dir()).exists());
    CommitDiagnostics::record(CommitDiagnostics::Level::Info, QStringLiteral("commit"),
                              QStringLiteral("stage=end"), at(8, 0, 0, 0));
    EXPECT_EQ(read(CommitDiagnostics::currentLogURL()),
              QByteArray("2026-03-14T08:00:00.000Z [commit] INFO  stage=end\n"));
    EXPECT_TRUE(
        CommitDiagnostics::currentLogURL().endsWith(QStringLiteral("/quillory/Diagnostics/commit.log")));
    // A message with line feeds is written as it is.
    CommitDiagnostics::record(CommitDiagnostics::Level::Notice, QStringLiteral("commit"),
                              QStringLiteral("first\nsecond"), at(8, 0, 0, 0));
    EXPECT_EQ(read(CommitDiagnostics::currentLogURL()),
              QByteArray("2026-03-14T08:00:00.000Z [commit] INFO  stage=end\n"
                         "2026-03-14T08:00:00.000Z [commit] NOTE  first\nsecond\n"));
}

TEST_F(CommitDiagnosticsTest, RecordsKeepCallOrderAndTheirOwnTimestamps) {
    // The timestamp is the one given (or the scheduler's "now" at the call), not the time of writing.
    CommitDiagnostics::record(CommitDiagnostics::Level::Info, QStringLiteral("a"));
    clock_.advance(1500ms);
    CommitDiagnostics::record(CommitDiagnostics::Level::Error, QStringLiteral("b"));
    CommitDiagnostics::record(CommitDiagnostics::Level::Notice, QStringLiteral("commit"), QStringLiteral("c"),
                              at(1, 2, 3, 4));
    const QStringList lines =
        QString::fromUtf8(read(CommitDiagnostics::currentLogURL())).split('\n', Qt::SkipEmptyParts);
    ASSERT_EQ(lines.size(), 3);
    EXPECT_EQ(lines[0], QStringLiteral("2026-03-14T08:00:00.000Z [commit] INFO  a"));
    EXPECT_EQ(lines[1], QStringLiteral("2026-03-14T08:00:01.500Z [commit] ERROR b"));
    EXPECT_EQ(lines[2], QStringLiteral("2026-03-14T01:02:03.004Z [commit] NOTE  c"));
}

TEST_F(CommitDiagnosticsTest, RotatesOnlyAFileLargerThanTheThreshold) {
    const QString current = CommitDiagnostics::currentLogURL();
    const QString rotated = CommitDiagnostics::rotatedLogURL();
    const QByteArray line = "2026-03-14T08:00:00.000Z [commit] INFO  next\n";

    // Exactly 262,144 bytes: appended to.
    writeFile(current, 262144, 'a');
    CommitDiagnostics::record(CommitDiagnostics::Level::Info, QStringLiteral("commit"),
                              QStringLiteral("next"), at(8, 0, 0, 0));
    EXPECT_EQ(read(current).size(), 262144 + line.size());
    EXPECT_FALSE(QFile::exists(rotated));

    // 262,145 bytes: moved to commit.log.1 (replacing the old one); the line starts a fresh file.
    writeFile(rotated, 10, 'o');
    writeFile(current, 262145, 'b');
    CommitDiagnostics::record(CommitDiagnostics::Level::Info, QStringLiteral("commit"),
                              QStringLiteral("next"), at(8, 0, 0, 0));
    EXPECT_EQ(read(current), line);
    EXPECT_EQ(read(rotated), QByteArray(262145, 'b'));
}

TEST_F(CommitDiagnosticsTest, SustainedWritingKeepsTwoGenerationsInOrderWithoutSplittingLines) {
    const int count = 12000; // about 900 KiB of lines: several rotations
    for (int i = 0; i < count; ++i) {
        CommitDiagnostics::record(
            CommitDiagnostics::Level::Info, QStringLiteral("commit"),
            QStringLiteral("stage=start session=%1 padding=%2").arg(i).arg(QString(20, 'x')), at(8, 0, 0, 0));
    }
    const QByteArray older = read(CommitDiagnostics::rotatedLogURL());
    const QByteArray newer = read(CommitDiagnostics::currentLogURL());
    ASSERT_GT(older.size(), CommitDiagnostics::kRotationThresholdBytes);
    EXPECT_LT(older.size(), CommitDiagnostics::kRotationThresholdBytes + 200);
    EXPECT_TRUE(older.endsWith('\n'));
    // Reading commit.log.1 then commit.log gives consecutive sessions ending with the last one.
    const QStringList lines = QString::fromUtf8(older + newer).split('\n', Qt::SkipEmptyParts);
    static const QRegularExpression re(QStringLiteral("session=(\\d+) "));
    int previous = -1;
    for (const QString& l : lines) {
        const auto m = re.match(l);
        ASSERT_TRUE(m.hasMatch()) << l.toStdString();
        const int n = m.captured(1).toInt();
        if (previous >= 0) {
            ASSERT_EQ(n, previous + 1);
        }
        previous = n;
    }
    EXPECT_EQ(previous, count - 1);
}

TEST_F(CommitDiagnosticsTest, ADeletedDirectoryIsRecreatedAndFailuresAreSwallowed) {
    CommitDiagnostics::record(CommitDiagnostics::Level::Info, QStringLiteral("one"));
    CommitDiagnostics::waitUntilWritten();
    ASSERT_TRUE(QDir(dir()).removeRecursively());
    CommitDiagnostics::record(CommitDiagnostics::Level::Info, QStringLiteral("two"));
    EXPECT_TRUE(read(CommitDiagnostics::currentLogURL()).endsWith("INFO  two\n"));

    // commit.log is a directory: the line is lost, nothing throws, later lines still try.
    ASSERT_TRUE(QDir(dir()).removeRecursively());
    QDir().mkpath(CommitDiagnostics::currentLogURL());
    CommitDiagnostics::record(CommitDiagnostics::Level::Error, QStringLiteral("lost"));
    CommitDiagnostics::waitUntilWritten();
    ASSERT_TRUE(QDir(dir()).removeRecursively());
    CommitDiagnostics::record(CommitDiagnostics::Level::Info, QStringLiteral("three"));
    EXPECT_EQ(QString::fromUtf8(read(CommitDiagnostics::currentLogURL())).count('\n'), 1);
}

TEST_F(CommitDiagnosticsTest, SnapshotListsExistingFilesOldestFirst) {
    EXPECT_TRUE(CommitDiagnostics::snapshotURLs().isEmpty());
    writeFile(CommitDiagnostics::currentLogURL(), 3, 'c');
    EXPECT_EQ(CommitDiagnostics::snapshotURLs(), QStringList{CommitDiagnostics::currentLogURL()});
    writeFile(CommitDiagnostics::rotatedLogURL(), 3, 'r');
    EXPECT_EQ(CommitDiagnostics::snapshotURLs(),
              (QStringList{CommitDiagnostics::rotatedLogURL(), CommitDiagnostics::currentLogURL()}));
}

TEST_F(CommitDiagnosticsTest, EnvironmentSummaryAndBootLine) {
    EXPECT_EQ(CommitDiagnostics::environmentSummary(QStringLiteral("1.2.0"), std::nullopt,
                                                    QStringLiteral("Debian 12")),
              QStringLiteral("quillory_version=1.2.0 build=? os=Debian 12"));
    EXPECT_EQ(CommitDiagnostics::environmentSummary(std::nullopt, std::nullopt, QStringLiteral("X")),
              QStringLiteral("quillory_version=? build=? os=X"));
    CommitDiagnostics::recordSessionBoundary();
    const QString text = QString::fromUtf8(read(CommitDiagnostics::currentLogURL()));
    EXPECT_TRUE(
        text.startsWith(QStringLiteral("2026-03-14T08:00:00.000Z [session] NOTE  boot quillory_version=")))
        << text.toStdString();
    EXPECT_TRUE(text.contains(QStringLiteral(" os=") + CommitDiagnostics::operatingSystemVersion()));
}

TEST(TimestampTest, ParsesTheInternetFormWithFractionsAndRejectsTheRest) {
    const auto ms = [](const char* s) {
        const auto d = CommitDiagnostics::parseTimestamp(QString::fromLatin1(s));
        return d ? std::optional<qint64>(d->toMSecsSinceEpoch()) : std::nullopt;
    };
    const qint64 base = QDateTime(QDate(2026, 3, 14), QTime(8, 15, 2, 417), Qt::UTC).toMSecsSinceEpoch();
    EXPECT_EQ(ms("2026-03-14T08:15:02.417Z"), base);
    EXPECT_EQ(ms("2026-03-14T09:15:02.417+01:00"), base);
    EXPECT_EQ(ms("2026-03-14T08:15:02.4Z"), base - 17);
    EXPECT_EQ(CommitDiagnostics::formatTimestamp(base), QByteArray("2026-03-14T08:15:02.417Z"));
    for (const char* bad : {"2026-03-14T08:15:02Z", "2026-03-14 08:15:02.417Z", "2026-13-14T08:15:02.417Z",
                            "2026-03-14T08:15:02.417", "stage=start", "", "2026-03-14T08:15:02.417Zjunk"}) {
        EXPECT_FALSE(ms(bad)) << bad;
    }
}

TEST_F(CommitDiagnosticsTest, AnAppendTheDiskTakesOnlyInPartLeavesNoTornLine) {
    const QString current = CommitDiagnostics::currentLogURL();
    const QByteArray first = "2026-03-14T08:00:00.000Z [commit] INFO  first\n";
    CommitDiagnostics::record(CommitDiagnostics::Level::Info, QStringLiteral("commit"),
                              QStringLiteral("first"), at(8, 0, 0, 0));
    ASSERT_EQ(read(current), first);
    {
        // Room for the timestamp and part of a Japanese character, not for the whole line.
        const quillory::testing::FileSizeLimit full(rlim_t(first.size() + 42));
        CommitDiagnostics::record(CommitDiagnostics::Level::Info, QStringLiteral("commit"),
                                  QStringLiteral("音声入力の確定"), at(8, 0, 1, 0));
        CommitDiagnostics::waitUntilWritten();
    }
    EXPECT_EQ(read(current), first);
    // Of lines queued together, those that fit whole are kept.
    {
        const quillory::testing::FileSizeLimit full(rlim_t(first.size() * 2 + 10));
        CommitDiagnostics::record(CommitDiagnostics::Level::Info, QStringLiteral("commit"),
                                  QStringLiteral("first"), at(8, 0, 0, 0));
        CommitDiagnostics::record(CommitDiagnostics::Level::Info, QStringLiteral("commit"),
                                  QStringLiteral("音声入力の確定"), at(8, 0, 1, 0));
        CommitDiagnostics::waitUntilWritten();
    }
    EXPECT_EQ(read(current), first + first);
    CommitDiagnostics::record(CommitDiagnostics::Level::Info, QStringLiteral("commit"),
                              QStringLiteral("after"), at(8, 0, 2, 0));
    QStringDecoder utf8(QStringDecoder::Utf8);
    const QString text = utf8.decode(read(current));
    EXPECT_FALSE(utf8.hasError());
    EXPECT_TRUE(
        text.endsWith(QStringLiteral("INFO  first\n2026-03-14T08:00:02.000Z [commit] INFO  after\n")));
}

TEST_F(CommitDiagnosticsTest, AFullFileSystemLosesLinesButNeverTearsThem) {
    const QString mountPoint = path(QStringLiteral("tiny"));
    const quillory::testing::TinyTmpfs tmpfs(mountPoint, "size=8k");
    if (!tmpfs.mounted()) {
        GTEST_SKIP() << "mounting a tmpfs is not permitted here";
    }
    CommitDiagnostics::setLogDirectoryForTesting(mountPoint + QStringLiteral("/Diagnostics"));
    for (int i = 0; i < 400; ++i) { // far more than 8 KiB
        CommitDiagnostics::record(CommitDiagnostics::Level::Info, QStringLiteral("commit"),
                                  QStringLiteral("stage=start session=%1 音声").arg(i), at(8, 0, 0, 0));
        if (i % 7 == 0) {
            CommitDiagnostics::waitUntilWritten(); // many separate appends, some cut short
        }
    }
    const QByteArray bytes = read(CommitDiagnostics::currentLogURL());
    CommitDiagnostics::setLogDirectoryForTesting(path(QStringLiteral(".local/share/quillory/Diagnostics")));
    ASSERT_FALSE(bytes.isEmpty());
    EXPECT_LT(bytes.size(), 8192);
    EXPECT_TRUE(bytes.endsWith('\n'));
    for (const QByteArray& line : bytes.split('\n')) {
        if (!line.isEmpty()) {
            EXPECT_TRUE(line.endsWith(QStringLiteral(" 音声").toUtf8())) << line.toStdString();
        }
    }
}

TEST_F(CommitDiagnosticsTest, LogFilesAndTheFoldersItCreatesAreOwnerOnly) {
    auto mode = [](const QString& p) {
        struct stat st {};
        return ::stat(QFile::encodeName(p).constData(), &st) == 0 ? int(st.st_mode & 0777) : -1;
    };
    CommitDiagnostics::record(CommitDiagnostics::Level::Info, QStringLiteral("x"));
    CommitDiagnostics::waitUntilWritten();
    EXPECT_EQ(mode(CommitDiagnostics::currentLogURL()), 0600);
    EXPECT_EQ(mode(CommitDiagnostics::logDirectory()), 0700);
    EXPECT_EQ(mode(path(QStringLiteral(".local/share/quillory"))), 0700);
    // A rotated generation keeps the mode; the fresh file after it is created owner-only as well.
    writeFile(CommitDiagnostics::currentLogURL(), 262145, 'b');
    CommitDiagnostics::record(CommitDiagnostics::Level::Info, QStringLiteral("y"));
    CommitDiagnostics::waitUntilWritten();
    EXPECT_EQ(mode(CommitDiagnostics::currentLogURL()), 0600);
}
