#include "Runtime/DefaultsStore.h"

#include "support/DiskLimits.h"

#include <QFile>
#include <QJsonDocument>
#include <QJsonObject>
#include <QSignalSpy>
#include <QTemporaryDir>

#include <gtest/gtest.h>

#include <sys/stat.h>

#include <cmath>
#include <thread>

using namespace quillory;

namespace {
class DefaultsStoreTest : public ::testing::Test {
protected:
    QString file() const { return dir_.filePath(QStringLiteral("cfg/quillory/defaults.json")); }
    void writeRaw(const QByteArray& bytes) {
        QDir().mkpath(QFileInfo(file()).absolutePath());
        QFile f(file());
        ASSERT_TRUE(f.open(QIODevice::WriteOnly));
        f.write(bytes);
    }
    QByteArray readRaw() const {
        QFile f(file());
        return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray();
    }
    /// The keys in the file itself, as any other process would read them.
    QStringList keysOnDisk() const {
        return QJsonDocument::fromJson(readRaw()).object().value(QStringLiteral("values")).toObject().keys();
    }
    static int modeOf(const QString& path) {
        struct stat st {};
        return ::stat(QFile::encodeName(path).constData(), &st) == 0 ? int(st.st_mode & 0777) : -1;
    }
    QTemporaryDir dir_;
};
} // namespace

TEST_F(DefaultsStoreTest, TypedValuesSurviveARoundTripThroughTheFile) {
    {
        DefaultsStore store(file());
        store.setBool(QStringLiteral("b"), true);
        store.setInteger(QStringLiteral("i"), 9007199254740993LL); // beyond double precision
        store.setDouble(QStringLiteral("d"), 0.018);
        store.setString(QStringLiteral("s"), QStringLiteral("日本語 text"));
        store.setData(QStringLiteral("x"), QByteArray("\x00\xff{}", 4));
        EXPECT_TRUE(store.lastError().isEmpty());
    }
    DefaultsStore reread(file());
    EXPECT_EQ(reread.boolValue(QStringLiteral("b")), true);
    EXPECT_EQ(reread.integerValue(QStringLiteral("i")), 9007199254740993LL);
    EXPECT_EQ(reread.doubleValue(QStringLiteral("d")), 0.018);
    EXPECT_EQ(reread.stringValue(QStringLiteral("s")), QStringLiteral("日本語 text"));
    EXPECT_EQ(reread.dataValue(QStringLiteral("x")), QByteArray("\x00\xff{}", 4));
    // A value of another type reads as absent, as in a defaults store.
    EXPECT_FALSE(reread.boolValue(QStringLiteral("s")));
    EXPECT_FALSE(reread.dataValue(QStringLiteral("s")));
    EXPECT_EQ(reread.keys().size(), 5);
}

TEST_F(DefaultsStoreTest, OnlyRealChangesNotify) {
    DefaultsStore store(file());
    QSignalSpy spy(&store, &DefaultsStore::valueChanged);
    store.setBool(QStringLiteral("quillory.aiPolish.enabled"), true);
    store.setBool(QStringLiteral("quillory.aiPolish.enabled"), true);
    store.setString(QStringLiteral("quillory.aiPolish.enabled"), QStringLiteral("true")); // type change
    store.remove(QStringLiteral("quillory.aiPolish.enabled"));
    store.remove(QStringLiteral("quillory.aiPolish.enabled"));
    store.remove(QStringLiteral("never.set"));
    EXPECT_EQ(spy.count(), 3);
}

TEST_F(DefaultsStoreTest, CorruptOrForeignFilesReadAsEmptyAndAreReplacedByTheNextWrite) {
    for (const QByteArray& bad :
         {QByteArray("{not json"), QByteArray("[1,2,3]"), QByteArray("{\"values\": 5}"),
          QByteArray("\xff\xfe\x00garbage", 11), QByteArray()}) {
        writeRaw(bad);
        DefaultsStore store(file());
        EXPECT_TRUE(store.keys().isEmpty()) << bad.toStdString();
        EXPECT_FALSE(store.boolValue(QStringLiteral("anything")));
        store.setBool(QStringLiteral("k"), true);
        EXPECT_EQ(DefaultsStore(file()).boolValue(QStringLiteral("k")), true);
    }
    // A single bad value is skipped; the rest of the file still reads.
    writeRaw(R"({"version":1,"values":{"good":{"bool":true},"bad":{"data":"***"},"odd":{"bool":1}}})");
    DefaultsStore store(file());
    EXPECT_EQ(store.keys(), QStringList{QStringLiteral("good")});
}

TEST_F(DefaultsStoreTest, SeesWritesOfAnotherProcessAndMergesIntoThem) {
    DefaultsStore app(file());
    DefaultsStore cli(file()); // stands for the command line writing the same file
    app.setBool(QStringLiteral("a"), true);
    cli.setString(QStringLiteral("b"), QStringLiteral("from cli"));
    EXPECT_EQ(app.stringValue(QStringLiteral("b")), QStringLiteral("from cli"));
    app.setBool(QStringLiteral("c"), false);
    DefaultsStore fresh(file());
    EXPECT_EQ(fresh.keys(), (QStringList{QStringLiteral("a"), QStringLiteral("b"), QStringLiteral("c")}));
}

TEST_F(DefaultsStoreTest, ConcurrentWritersNeverDropEachOthersKeys) {
    // Two stores on one file are two writers as far as the file is concerned (each takes the lock
    // through its own descriptor), as the tray app and the command line are.
    DefaultsStore first(file());
    DefaultsStore second(file());
    auto writeKeys = [](DefaultsStore& store, const QString& prefix) {
        for (int i = 0; i < 60; ++i) {
            store.setInteger(prefix + QString::number(i), i);
        }
    };
    std::thread a([&] { writeKeys(first, QStringLiteral("a")); });
    std::thread b([&] { writeKeys(second, QStringLiteral("b")); });
    a.join();
    b.join();
    EXPECT_EQ(keysOnDisk().size(), 120);
    // Each long-lived store sees the other's keys too: the file it recorded is the one it wrote.
    EXPECT_EQ(first.keys().size(), 120);
    EXPECT_EQ(second.keys().size(), 120);
}

TEST_F(DefaultsStoreTest, UpdateIsOneReadModifyWriteAcrossWriters) {
    DefaultsStore first(file());
    DefaultsStore second(file());
    auto increment = [](DefaultsStore& store) {
        for (int i = 0; i < 50; ++i) {
            store.update(QStringLiteral("count"), [](const QVariant& current) {
                return std::optional<QVariant>(QVariant(current.toLongLong() + 1));
            });
        }
    };
    std::thread a([&] { increment(first); });
    std::thread b([&] { increment(second); });
    a.join();
    b.join();
    EXPECT_EQ(DefaultsStore(file()).integerValue(QStringLiteral("count")), 100);
    // nullopt leaves the value; an invalid value removes it.
    EXPECT_TRUE(first.update(QStringLiteral("count"), [](const QVariant&) { return std::nullopt; }));
    EXPECT_EQ(first.integerValue(QStringLiteral("count")), 100);
    EXPECT_TRUE(
        first.update(QStringLiteral("count"), [](const QVariant&) { return std::optional(QVariant()); }));
    EXPECT_FALSE(second.value(QStringLiteral("count")).isValid());
}

TEST_F(DefaultsStoreTest, AFailedReadIsNeitherCachedNorWrittenOver) {
    {
        DefaultsStore writer(file());
        writer.setString(QStringLiteral("quillory.aiPolish.prompt"), QStringLiteral("my prompt"));
        writer.setData(QStringLiteral("quillory.userDictionary.entries"), "[]");
    }
    DefaultsStore store(file());
    {
        const quillory::testing::NoFreeDescriptors exhausted; // "too many open files"
        EXPECT_TRUE(store.keys().isEmpty());
        EXPECT_FALSE(store.readError().isEmpty());
        // A write now must not replace the two keys it could not read with one.
        store.setBool(QStringLiteral("quillory.aiPolish.enabled"), true);
        EXPECT_FALSE(store.lastError().isEmpty());
    }
    EXPECT_EQ(keysOnDisk().size(), 2);
    // Once the file can be read again, its keys are there and the next write merges into them.
    EXPECT_EQ(store.stringValue(QStringLiteral("quillory.aiPolish.prompt")), QStringLiteral("my prompt"));
    store.setBool(QStringLiteral("quillory.aiPolish.enabled"), true);
    EXPECT_TRUE(store.lastError().isEmpty());
    EXPECT_EQ(keysOnDisk().size(), 3);
}

TEST_F(DefaultsStoreTest, AFullDiskLeavesTheFileWholeAndReportsTheFailure) {
    DefaultsStore store(file());
    store.setData(QStringLiteral("quillory.userDictionary.entries"), QByteArray(6000, 'd'));
    const QByteArray before = readRaw();
    ASSERT_GT(before.size(), 6000);
    {
        // Any file may hold at most 4 KiB: the new file can't be written whole.
        const quillory::testing::FileSizeLimit full(4096);
        EXPECT_FALSE(store.setString(QStringLiteral("quillory.aiPolish.prompt"), QStringLiteral("p")));
        EXPECT_TRUE(store.lastError().contains(QStringLiteral("File too large")))
            << store.lastError().toStdString();
    }
    EXPECT_EQ(readRaw(), before);
    EXPECT_EQ(QDir(QFileInfo(file()).absolutePath()).entryList(QDir::Files | QDir::Hidden),
              (QStringList{QStringLiteral("defaults.json"), QStringLiteral("defaults.json.lock")}))
        << "no temporary file is left behind";
    // A replacement cut off by a crash leaves its temporary file; the next write clears it away.
    QFile leftover(QFileInfo(file()).absolutePath() + QStringLiteral("/.defaults.json.Ab12Cd"));
    ASSERT_TRUE(leftover.open(QIODevice::WriteOnly));
    leftover.close();
    // The value stays in this process and reaches the file with the next write that fits.
    EXPECT_EQ(store.stringValue(QStringLiteral("quillory.aiPolish.prompt")), QStringLiteral("p"));
    EXPECT_TRUE(store.setBool(QStringLiteral("b"), true));
    EXPECT_EQ(DefaultsStore(file()).stringValue(QStringLiteral("quillory.aiPolish.prompt")),
              QStringLiteral("p"));
    EXPECT_FALSE(leftover.exists());
}

TEST_F(DefaultsStoreTest, ARealFullFileSystemKeepsTheOldFile) {
    const QString mountPoint = dir_.filePath(QStringLiteral("tiny"));
    const quillory::testing::TinyTmpfs tmpfs(mountPoint, "size=64k");
    if (!tmpfs.mounted()) {
        GTEST_SKIP() << "mounting a tmpfs is not permitted here";
    }
    const QString path = mountPoint + QStringLiteral("/quillory/defaults.json");
    DefaultsStore store(path);
    ASSERT_TRUE(store.setString(QStringLiteral("quillory.aiPolish.prompt"), QStringLiteral("keep me")));
    tmpfs.fill();
    EXPECT_FALSE(store.setData(QStringLiteral("quillory.userDictionary.entries"), QByteArray(8192, 'x')));
    EXPECT_TRUE(store.lastError().contains(QStringLiteral("No space left on device")))
        << store.lastError().toStdString();
    EXPECT_EQ(DefaultsStore(path).stringValue(QStringLiteral("quillory.aiPolish.prompt")),
              QStringLiteral("keep me"));
}

TEST_F(DefaultsStoreTest, AReadOnlyHomeReportsThePermissionProblem) {
    const QString mountPoint = dir_.filePath(QStringLiteral("readonly-home"));
    const quillory::testing::TinyTmpfs tmpfs(mountPoint, "ro");
    if (!tmpfs.mounted()) {
        GTEST_SKIP() << "mounting a tmpfs is not permitted here";
    }
    DefaultsStore store(mountPoint + QStringLiteral("/.config/quillory/defaults.json"));
    EXPECT_FALSE(store.setBool(QStringLiteral("k"), true));
    EXPECT_TRUE(store.lastError().contains(QStringLiteral("Read-only file system")))
        << store.lastError().toStdString();
    EXPECT_TRUE(store.lastError().contains(QStringLiteral("/.config")))
        << "names the folder it could not create";
}

TEST_F(DefaultsStoreTest, FilesAreOwnerOnlyAndALinkedFileStaysLinked) {
    DefaultsStore store(file());
    store.setBool(QStringLiteral("k"), true);
    EXPECT_EQ(modeOf(file()), 0600);
    EXPECT_EQ(modeOf(file() + QStringLiteral(".lock")), 0600);
    EXPECT_EQ(modeOf(QFileInfo(file()).absolutePath()), 0700);
    EXPECT_EQ(modeOf(dir_.filePath(QStringLiteral("cfg"))), 0700);

    // Settings kept in a dotfiles folder through a symbolic link: the link survives writes.
    const QString real = dir_.filePath(QStringLiteral("dotfiles/defaults.json"));
    QDir().mkpath(QFileInfo(real).absolutePath());
    ASSERT_TRUE(QFile::rename(file(), real));
    ASSERT_TRUE(QFile::link(real, file()));
    store.setBool(QStringLiteral("k2"), true);
    EXPECT_TRUE(QFileInfo(file()).isSymLink());
    EXPECT_EQ(DefaultsStore(real).keys().size(), 2);
}

TEST_F(DefaultsStoreTest, CorruptBytesAreKeptAsideBeforeTheyAreReplaced) {
    writeRaw("{\"version\":1,\"values\":{\"quillory.aiPolish.prompt\":{\"string\":\"half a pro");
    DefaultsStore store(file());
    EXPECT_TRUE(store.readError().startsWith(QStringLiteral("corrupt settings file")));
    store.setBool(QStringLiteral("k"), true);
    EXPECT_TRUE(store.lastError().isEmpty());
    EXPECT_TRUE(store.readError().isEmpty());
    QFile aside(file() + QStringLiteral(".corrupt"));
    ASSERT_TRUE(aside.open(QIODevice::ReadOnly));
    EXPECT_TRUE(aside.readAll().endsWith("half a pro"));

    // A file far too large for settings is not read into memory.
    QFile huge(file());
    ASSERT_TRUE(huge.resize(65 * 1024 * 1024));
    EXPECT_TRUE(DefaultsStore(file()).readError().contains(QStringLiteral("larger than")));
}

TEST_F(DefaultsStoreTest, NonFiniteDoublesAndForeignTypesAreRefused) {
    DefaultsStore store(file());
    for (double bad : {std::nan(""), double(INFINITY), -double(INFINITY)}) {
        EXPECT_FALSE(store.setDouble(QStringLiteral("d"), bad));
        EXPECT_FALSE(store.lastError().isEmpty());
    }
    EXPECT_FALSE(store.setValue(QStringLiteral("d"), QVariant(QStringList{QStringLiteral("x")})));
    EXPECT_FALSE(store.value(QStringLiteral("d")).isValid());
    EXPECT_TRUE(store.setDouble(QStringLiteral("d"), 1e308));
    EXPECT_TRUE(store.lastError().isEmpty()) << "a good write clears the previous error";
}

TEST_F(DefaultsStoreTest, UnwritableLocationKeepsValuesInMemoryAndReportsWhy) {
    writeRaw("{}");
    // The settings path is a directory: nothing can be written there.
    const QString blocked = dir_.filePath(QStringLiteral("blocked"));
    QDir().mkpath(blocked + QStringLiteral("/defaults.json"));
    DefaultsStore store(blocked + QStringLiteral("/defaults.json"));
    store.setBool(QStringLiteral("k"), true);
    EXPECT_FALSE(store.lastError().isEmpty());
    EXPECT_EQ(store.boolValue(QStringLiteral("k")), true);
}
