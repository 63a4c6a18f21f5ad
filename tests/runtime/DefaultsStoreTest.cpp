#include "Runtime/DefaultsStore.h"

#include <QFile>
#include <QSignalSpy>
#include <QTemporaryDir>

#include <gtest/gtest.h>

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
