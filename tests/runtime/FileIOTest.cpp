// Whole-file replacement and symbolic links: whose links are followed, and which are replaced;
// private folders and file identities.
#include "Runtime/FileIO.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QTemporaryDir>

#include <gtest/gtest.h>

#include <sys/stat.h>
#include <unistd.h>

using namespace quillory;

namespace {
QByteArray content(const QString& path) {
    QFile f(path);
    return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray("<unreadable>");
}
mode_t modeOf(const QString& path) {
    struct stat st {};
    return ::lstat(QFile::encodeName(path).constData(), &st) == 0 ? (st.st_mode & 07777) : 0;
}
} // namespace

TEST(ReplaceFileTest, FollowsOnlyTheUsersOwnLinksOrReplacesTheLinkItself) {
    QTemporaryDir dir;
    const QString victim = dir.filePath(QStringLiteral("victim.txt"));
    QFile f(victim);
    ASSERT_TRUE(f.open(QIODevice::WriteOnly));
    f.write("mine");
    f.close();
    ASSERT_TRUE(f.setPermissions(QFile::ReadOwner | QFile::WriteOwner | QFile::ReadGroup | QFile::ReadOther));
    const QString link = dir.filePath(QStringLiteral("chain/settings.json"));
    ASSERT_TRUE(QDir().mkpath(dir.filePath(QStringLiteral("chain"))));
    ASSERT_TRUE(QFile::link(victim, dir.filePath(QStringLiteral("middle"))));
    ASSERT_TRUE(QFile::link(dir.filePath(QStringLiteral("middle")), link));

    // The user's own chain of links is followed to its end; the links stay.
    auto r = FileIO::replaceFile(link, "ours", 0600, /*keepExistingMode=*/true);
    ASSERT_TRUE(r.ok()) << r.error().toStdString();
    EXPECT_EQ(content(victim), "ours");
    EXPECT_EQ(modeOf(victim), 0644u);
    EXPECT_TRUE(QFileInfo(link).isSymLink());

    // Links of another user are never followed (here the links count as another user's).
    const uid_t someoneElse = ::geteuid() + 1;
    r = FileIO::replaceFile(link, "theirs", 0600, false, FileIO::SymlinkPolicy::followOwn, someoneElse);
    EXPECT_FALSE(r.ok());
    EXPECT_TRUE(r.error().endsWith(QStringLiteral("a symbolic link of another user is not followed")))
        << r.error().toStdString();
    EXPECT_EQ(content(victim), "ours");
    EXPECT_TRUE(QFileInfo(link).isSymLink());
    EXPECT_EQ(
        QDir(dir.filePath(QStringLiteral("chain"))).entryList(QDir::Files | QDir::Hidden | QDir::System),
        QStringList{QStringLiteral("settings.json")})
        << "no temporary file is left";

    // Replacing the link: the new file takes its place, the file it led to is untouched, and
    // the link's target lends it no permissions.
    r = FileIO::replaceFile(link, "export", 0600, /*keepExistingMode=*/true,
                            FileIO::SymlinkPolicy::replaceLink);
    ASSERT_TRUE(r.ok()) << r.error().toStdString();
    EXPECT_FALSE(QFileInfo(link).isSymLink());
    EXPECT_EQ(content(link), "export");
    EXPECT_EQ(modeOf(link), 0600u);
    EXPECT_EQ(content(victim), "ours");
}

TEST(FileIOTest, FoldersAndIdentitiesSayWhatIsMissingOrInTheWay) {
    QTemporaryDir dir;
    ASSERT_TRUE(dir.isValid());
    const QString nested = dir.filePath(QStringLiteral("a/b/c"));
    const Expected<> made = FileIO::makePrivateDirectories(nested);
    ASSERT_TRUE(made) << made.error().toStdString();
    EXPECT_EQ(modeOf(dir.filePath(QStringLiteral("a"))), 0700u);
    EXPECT_EQ(modeOf(nested), 0700u);
    EXPECT_TRUE(FileIO::makePrivateDirectories(nested)) << "a folder that exists is no failure";

    // A file where a folder must go: the failure names that path.
    QFile blocker(dir.filePath(QStringLiteral("file")));
    ASSERT_TRUE(blocker.open(QIODevice::WriteOnly));
    blocker.close();
    const Expected<> blocked = FileIO::makePrivateDirectories(dir.filePath(QStringLiteral("file/sub")));
    EXPECT_FALSE(blocked);
    EXPECT_TRUE(blocked.error().startsWith(QStringLiteral("cannot create folder ") + blocker.fileName()))
        << blocked.error().toStdString();

    // No file is no failure; a path that cannot be looked at is.
    const auto absent = FileIO::identityOf(dir.filePath(QStringLiteral("absent")));
    ASSERT_TRUE(absent) << absent.error().toStdString();
    EXPECT_FALSE(absent.value().has_value());
    const auto present = FileIO::identityOf(blocker.fileName());
    ASSERT_TRUE(present && present.value().has_value());
    EXPECT_EQ(present.value()->size, 0);
    const auto throughFile = FileIO::identityOf(dir.filePath(QStringLiteral("file/x")));
    EXPECT_FALSE(throughFile);
    EXPECT_TRUE(throughFile.error().startsWith(QStringLiteral("cannot read ")));
}
