// Real processes writing the same files at once: the command line binary run from two shells, a
// long-lived store beside them, and two diagnostics writers rotating one log.

#include "Dictionary/UserDictionary.h"
#include "Runtime/DefaultsStore.h"
#include "Utilities/CommitDiagnostics.h"

#include <QDir>
#include <QFile>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QRegularExpression>
#include <QTemporaryDir>

#include <gtest/gtest.h>

#include <map>
#include <memory>

using namespace quillory;

namespace {

class MultiProcessTest : public ::testing::Test {
protected:
    void SetUp() override { ASSERT_TRUE(home_.isValid()); }

    QString settingsFile() const { return home_.filePath(QStringLiteral(".config/quillory/defaults.json")); }
    QString logDirectory() const {
        return home_.filePath(QStringLiteral(".local/share/quillory/Diagnostics"));
    }

    /// A shell running `script` with the binaries as $Q and $W and the temporary home as the user's.
    std::unique_ptr<QProcess> shell(const QString& script) const {
        auto p = std::make_unique<QProcess>();
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        env.insert(QStringLiteral("HOME"), home_.path());
        env.insert(QStringLiteral("XDG_CONFIG_HOME"), home_.filePath(QStringLiteral(".config")));
        env.insert(QStringLiteral("XDG_DATA_HOME"), home_.filePath(QStringLiteral(".local/share")));
        env.insert(QStringLiteral("XDG_CACHE_HOME"), home_.filePath(QStringLiteral(".cache")));
        env.insert(QStringLiteral("QUILLORY_LANGUAGE"), QStringLiteral("en"));
        env.insert(QStringLiteral("Q"), QStringLiteral(QUILLORY_BINARY));
        env.insert(QStringLiteral("W"), QStringLiteral(LOG_WRITER_BINARY));
        p->setProcessEnvironment(env);
        p->setProcessChannelMode(QProcess::MergedChannels);
        p->start(QStringLiteral("/bin/sh"), {QStringLiteral("-c"), script});
        return p;
    }

    static void finish(QProcess& p) {
        ASSERT_TRUE(p.state() == QProcess::NotRunning || p.waitForFinished(120000)) << "a writer hung";
        EXPECT_EQ(p.exitCode(), 0) << p.readAll().toStdString();
        EXPECT_EQ(p.readAll(), QByteArray()) << "every command succeeded";
    }

    QStringList keysOnDisk() const {
        QFile f(settingsFile());
        EXPECT_TRUE(f.open(QIODevice::ReadOnly));
        return QJsonDocument::fromJson(f.readAll())
            .object()
            .value(QStringLiteral("values"))
            .toObject()
            .keys();
    }

    QTemporaryDir home_;
};

// "settings set" from two shells at once, 40 each: every key is kept.
TEST_F(MultiProcessTest, TwoShellsSettingKeysKeepEveryKey) {
    const char* loop = "for i in $(seq 1 40); do \"$Q\" settings set %1$i $i --int || echo failed; done";
    auto a = shell(QString::fromLatin1(loop).arg(QStringLiteral("a")));
    auto b = shell(QString::fromLatin1(loop).arg(QStringLiteral("b")));
    finish(*a);
    finish(*b);
    EXPECT_EQ(keysOnDisk().size(), 80);
}

// "dictionary add" from two shells at once, 20 each: every entry is kept.
TEST_F(MultiProcessTest, TwoShellsAddingDictionaryEntriesKeepEveryEntry) {
    const char* loop =
        "for i in $(seq 1 20); do \"$Q\" dictionary add %1$i 語$i >/dev/null || echo failed; done";
    auto a = shell(QString::fromLatin1(loop).arg(QStringLiteral("a")));
    auto b = shell(QString::fromLatin1(loop).arg(QStringLiteral("b")));
    finish(*a);
    finish(*b);
    DefaultsStore store(settingsFile());
    const auto data = store.dataValue(QString::fromLatin1(UserDictionary::storageKey));
    ASSERT_TRUE(data);
    const auto entries = UserDictionary::decode(*data);
    ASSERT_TRUE(entries);
    EXPECT_EQ(entries->size(), 40u);
}

// A long-lived store (the tray app) writing while the command line writes: neither loses keys,
// and the long-lived store keeps seeing the command line's keys.
TEST_F(MultiProcessTest, ALongLivedStoreAndTheCommandLineKeepEachOthersKeys) {
    DefaultsStore app(settingsFile());
    app.setBool(QStringLiteral("app.start"), true);
    auto cli = shell(
        QStringLiteral("for i in $(seq 1 40); do \"$Q\" settings set cli$i $i --int || echo failed; done"));
    int written = 0;
    while (cli->state() != QProcess::NotRunning && written < 2000) {
        ASSERT_TRUE(app.setInteger(QStringLiteral("app%1").arg(written), written))
            << app.lastError().toStdString();
        ++written;
        cli->waitForFinished(10); // let the command line run between two writes of the app
    }
    finish(*cli);
    const QStringList keys = keysOnDisk();
    EXPECT_EQ(keys.size(), 1 + written + 40);
    EXPECT_EQ(app.keys().size(), keys.size());
}

// Two processes appending to one log, each rotating it when it grows past the threshold: the
// rotated generation is always a full one, and no line is torn or out of order.
TEST_F(MultiProcessTest, TwoLogWritersRotateWithoutDestroyingAGeneration) {
    static const QRegularExpression lineForm(QStringLiteral(
        R"(^\d{4}-\d\d-\d\dT\d\d:\d\d:\d\d\.\d{3}Z \[commit\] INFO  writer=([AB]) seq=(\d+) pad=x{60}$)"));
    for (int round = 0; round < 6; ++round) {
        QDir(logDirectory()).removeRecursively();
        auto a = shell(QStringLiteral("\"$W\" A 4000"));
        auto b = shell(QStringLiteral("\"$W\" B 4000"));
        finish(*a);
        finish(*b);
        QByteArray both;
        for (const char* name : {"commit.log.1", "commit.log"}) {
            QFile f(logDirectory() + QLatin1Char('/') + QLatin1String(name));
            ASSERT_TRUE(f.open(QIODevice::ReadOnly)) << name;
            const QByteArray bytes = f.readAll();
            if (QByteArray(name) == "commit.log.1") {
                EXPECT_GT(bytes.size(), CommitDiagnostics::kRotationThresholdBytes) << "round " << round;
                EXPECT_LT(bytes.size(), CommitDiagnostics::kRotationThresholdBytes + 4096)
                    << "round " << round;
            }
            both += bytes;
        }
        // The two generations hold the most recent lines: of each writer, the lines still there
        // are consecutive and end with its last one.
        std::map<QString, int> last;
        for (const QString& line : QString::fromUtf8(both).split(QLatin1Char('\n'), Qt::SkipEmptyParts)) {
            const auto m = lineForm.match(line);
            ASSERT_TRUE(m.hasMatch()) << line.toStdString();
            const int seq = m.captured(2).toInt();
            if (const auto it = last.find(m.captured(1)); it != last.end()) {
                EXPECT_EQ(seq, it->second + 1)
                    << "writer " << m.captured(1).toStdString() << ", round " << round;
            }
            last[m.captured(1)] = seq;
        }
        ASSERT_FALSE(last.empty());
        for (const auto& [writer, seq] : last) {
            EXPECT_EQ(seq, 3999) << writer.toStdString();
        }
    }
}

} // namespace
