#include "Utilities/CommitDiagnosticsExporter.h"

#include "Utilities/CommitDiagnostics.h"
#include "support/CoreTest.h"
#include "support/DiskLimits.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>

using namespace quillory;
using quillory::testing::CoreTest;
using ExportError = CommitDiagnosticsExporter::ExportError;

namespace {

class ExporterTest : public CoreTest {
protected:
    void SetUp() override {
        CoreTest::SetUp();
        clock_.advance(std::chrono::hours(3)); // now = 11:00:00.000Z
    }
    QString stampMinutesAgo(double minutes) const {
        const qint64 at = clock_.wallNow().toMSecsSinceEpoch() - qint64(minutes * 60000);
        return QString::fromLatin1(CommitDiagnostics::formatTimestamp(at));
    }
    void writeLog(const QString& path, const QStringList& lines) {
        QDir().mkpath(CommitDiagnostics::logDirectory());
        QFile f(path);
        ASSERT_TRUE(f.open(QIODevice::WriteOnly));
        f.write(lines.join('\n').toUtf8() + '\n');
    }
    QString exported(int minutes) {
        const QString out = path(QStringLiteral("out/export.log"));
        QDir().mkpath(path(QStringLiteral("out")));
        CommitDiagnosticsExporter::exportTo(out, minutes);
        QFile f(out);
        EXPECT_TRUE(f.open(QIODevice::ReadOnly));
        return QString::fromUtf8(f.readAll());
    }
    static QStringList body(const QString& text) { return text.split('\n').mid(6); }
};

} // namespace

TEST_F(ExporterTest, KeepsTheWindowInclusiveOfItsStartAndUntimestampedLines) {
    writeLog(CommitDiagnostics::rotatedLogURL(), {stampMinutesAgo(16) + " [commit] INFO  old",
                                                  stampMinutesAgo(15) + " [commit] INFO  at-cutoff"});
    writeLog(CommitDiagnostics::currentLogURL(),
             {stampMinutesAgo(15.0001) + " [commit] INFO  just-before",
              stampMinutesAgo(14) + " [commit] NOTE  recent", "continuation-without-blank",
              "not-a-date but with blanks", stampMinutesAgo(0) + " [commit] ERROR now"});
    const QStringList lines = body(exported(15));
    EXPECT_EQ(lines,
              (QStringList{stampMinutesAgo(15) + " [commit] INFO  at-cutoff",
                           stampMinutesAgo(14) + " [commit] NOTE  recent", "continuation-without-blank",
                           "not-a-date but with blanks", stampMinutesAgo(0) + " [commit] ERROR now", ""}));
}

TEST_F(ExporterTest, HeaderIsSixLinesAndTheFileEndsWithOneLineFeed) {
    writeLog(CommitDiagnostics::currentLogURL(), {stampMinutesAgo(1) + " [commit] INFO  a"});
    const QString text = exported(60);
    const QStringList lines = text.split('\n');
    ASSERT_GE(lines.size(), 8);
    EXPECT_EQ(lines[0], QStringLiteral("# Quillory diagnostics export"));
    EXPECT_EQ(lines[1], QStringLiteral("# generated: 2026-03-14 11:00:00 +0000"));
    EXPECT_EQ(lines[2], QStringLiteral("# lookback_minutes: 60"));
    EXPECT_EQ(lines[3], QStringLiteral("# ") + CommitDiagnostics::environmentSummary());
    EXPECT_EQ(lines[4], QStringLiteral("# source: ") + CommitDiagnostics::currentLogURL());
    EXPECT_EQ(lines[5], QStringLiteral("# ") + QString(40, '-'));
    EXPECT_EQ(lines[6], stampMinutesAgo(1) + " [commit] INFO  a");
    EXPECT_TRUE(text.endsWith(QStringLiteral(" a\n")));
    EXPECT_FALSE(text.endsWith(QStringLiteral("\n\n")));
}

TEST_F(ExporterTest, NothingInTheWindowFailsWithoutWritingAFile) {
    const QString out = path(QStringLiteral("none.log"));
    try {
        CommitDiagnosticsExporter::exportTo(out, 15);
        FAIL() << "no log at all must fail";
    } catch (const ExportError& e) {
        EXPECT_EQ(e.kind(), ExportError::Kind::NoEntries);
        EXPECT_FALSE(e.localizedDescription().isEmpty());
    }
    writeLog(CommitDiagnostics::currentLogURL(), {stampMinutesAgo(200) + " [commit] INFO  ancient"});
    EXPECT_THROW(CommitDiagnosticsExporter::exportTo(out, 180), ExportError);
    EXPECT_FALSE(QFile::exists(out));
}

TEST_F(ExporterTest, ADamagedLineIsExportedWithItsDamageShownNotRefused) {
    // A character cut by a full disk (a lone lead byte) in the rotated file, and stray bytes in the
    // current one: the rest of the log still exports.
    const QByteArray cut = QStringLiteral("音").toUtf8().left(1);
    QDir().mkpath(CommitDiagnostics::logDirectory());
    QFile rotated(CommitDiagnostics::rotatedLogURL());
    ASSERT_TRUE(rotated.open(QIODevice::WriteOnly));
    rotated.write((stampMinutesAgo(3) + " [commit] INFO  stage=start ").toUtf8() + cut + "\n");
    rotated.close();
    QFile current(CommitDiagnostics::currentLogURL());
    ASSERT_TRUE(current.open(QIODevice::WriteOnly));
    current.write(stampMinutesAgo(2).toUtf8() + " [commit] INFO  \xff\xfe broken\n");
    current.write((stampMinutesAgo(1) + " [commit] NOTE  stage=end\n").toUtf8());
    current.close();
    EXPECT_EQ(body(exported(15)),
              (QStringList{stampMinutesAgo(3) + QStringLiteral(" [commit] INFO  stage=start \uFFFD"),
                           stampMinutesAgo(2) + QStringLiteral(" [commit] INFO  \uFFFD\uFFFD broken"),
                           stampMinutesAgo(1) + " [commit] NOTE  stage=end", ""}));
}

TEST_F(ExporterTest, AFullDiskFailsTheExportAndLeavesNoFile) {
    QStringList lines;
    for (int i = 0; i < 200; ++i) {
        lines << stampMinutesAgo(1) + QStringLiteral(" [commit] INFO  stage=start session=%1").arg(i);
    }
    writeLog(CommitDiagnostics::currentLogURL(), lines);
    const QString out = path(QStringLiteral("export.log"));
    {
        const quillory::testing::FileSizeLimit full(4096);
        try {
            CommitDiagnosticsExporter::exportTo(out, 15);
            FAIL() << "a cut export must not be reported as written";
        } catch (const ExportError& e) {
            EXPECT_EQ(e.kind(), ExportError::Kind::WriteFailed);
            EXPECT_TRUE(e.message().contains(QStringLiteral("File too large"))) << e.message().toStdString();
        }
    }
    EXPECT_FALSE(QFile::exists(out));
    EXPECT_EQ(QDir(path(QString())).entryList({QStringLiteral("*export*")}, QDir::Files | QDir::Hidden),
              QStringList{})
        << "no temporary file is left behind";
}

TEST_F(ExporterTest, ReadAndWriteFailuresCarryTheirReason) {
    EXPECT_THROW(CommitDiagnosticsExporter::collectLines(QDateTime(), {path(QStringLiteral("vanished.log"))}),
                 ExportError);

    writeLog(CommitDiagnostics::currentLogURL(), {stampMinutesAgo(1) + " [commit] INFO  a"});
    try {
        CommitDiagnosticsExporter::exportTo(path(QStringLiteral("no/such/folder/x.log")), 15);
        FAIL();
    } catch (const ExportError& e) {
        EXPECT_EQ(e.kind(), ExportError::Kind::WriteFailed);
        EXPECT_TRUE(e.localizedDescription().startsWith(QStringLiteral("Could not write the export file: ")));
    }
}

TEST_F(ExporterTest, ALinkPlantedAtTheExportPathIsReplacedAndItsTargetLeftAlone) {
    // Export names are predictable to the second; in /tmp anyone can plant a link at one.
    writeLog(CommitDiagnostics::currentLogURL(), {stampMinutesAgo(1) + " [commit] INFO  a"});
    const QString victim = path(QStringLiteral("home/.bashrc"));
    QDir().mkpath(path(QStringLiteral("home")));
    QFile f(victim);
    ASSERT_TRUE(f.open(QIODevice::WriteOnly));
    f.write("export PATH=$HOME/bin:$PATH\n");
    f.close();
    const QString out = path(QStringLiteral("quillory-diagnostics-20260314T081502.log"));
    ASSERT_TRUE(QFile::link(victim, out));
    CommitDiagnosticsExporter::exportTo(out, 15);
    QFile target(victim);
    ASSERT_TRUE(target.open(QIODevice::ReadOnly));
    EXPECT_EQ(target.readAll(), "export PATH=$HOME/bin:$PATH\n");
    EXPECT_FALSE(QFileInfo(out).isSymLink());
    QFile written(out);
    ASSERT_TRUE(written.open(QIODevice::ReadOnly));
    EXPECT_TRUE(written.readAll().startsWith("# Quillory diagnostics export\n"));
    EXPECT_EQ(written.permissions() & (QFile::ReadGroup | QFile::ReadOther), QFile::Permissions());
}

TEST_F(ExporterTest, AsyncExportReadsOffTheMainThreadAndWritesTheSameFile) {
    writeLog(CommitDiagnostics::currentLogURL(), {stampMinutesAgo(1) + " [commit] INFO  a", "\r", "b\r"});
    const QString out = path(QStringLiteral("async.log"));
    bool done = false;
    auto flow = [&]() -> Task<> {
        co_await CommitDiagnosticsExporter::exportAsync(out, 15);
        done = true;
    };
    auto t = flow();
    while (!done) {
        ASSERT_TRUE(clock_.waitForPosted(std::chrono::seconds(10)));
        clock_.runPending();
    }
    QFile f(out);
    ASSERT_TRUE(f.open(QIODevice::ReadOnly));
    EXPECT_EQ(body(QString::fromUtf8(f.readAll())),
              (QStringList{stampMinutesAgo(1) + " [commit] INFO  a", "b", ""}));
}

TEST(ExportFilenameTest, IsCompactUtc) {
    const QDateTime t(QDate(2026, 3, 14), QTime(8, 15, 2, 900), Qt::UTC);
    EXPECT_EQ(CommitDiagnosticsExporter::defaultExportFilename(t),
              QStringLiteral("quillory-diagnostics-20260314T081502.log"));
    EXPECT_EQ(CommitDiagnosticsExporter::defaultExportFilename(t.toTimeZone(QTimeZone("Asia/Tokyo"))),
              QStringLiteral("quillory-diagnostics-20260314T081502.log"));
}
