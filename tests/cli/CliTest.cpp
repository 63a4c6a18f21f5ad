#include "Cli/Cli.h"

#include "Dictionary/UserDictionary.h"
#include "Runtime/Localization.h"
#include "Utilities/CommitDiagnostics.h"
#include "support/CoreTest.h"

#include <QDir>
#include <QFile>
#include <QJsonDocument>
#include <QJsonObject>
#include <QScopeGuard>

#include <algorithm>

using namespace quillory;
using quillory::testing::CoreTest;

namespace {

struct Result {
    int status;
    QString out;
    QString err;
};

class CliTest : public CoreTest {
protected:
    Result run(const QStringList& args) {
        QString out;
        QString err;
        QTextStream o(&out);
        QTextStream e(&err);
        cli::Io io{o, e};
        const int status = cli::run(args, io);
        o.flush();
        e.flush();
        return {status, out, err};
    }
};

} // namespace

TEST_F(CliTest, DictionaryCommandsRoundTrip) {
    const Result added = run({"dictionary", "add", "機械学習", "ML"});
    ASSERT_EQ(added.status, 0) << added.err.toStdString();
    const QString id = added.out.trimmed();
    EXPECT_EQ(id.size(), 36);
    EXPECT_EQ(run({"dictionary", "add", "機械", "machine"}).status, 0);

    EXPECT_EQ(run({"dictionary", "list"}).out,
              id + QStringLiteral("\t機械学習\tML\n") +
                  UserDictionary::idString(UserDictionary::loadEntries()[1].id) +
                  QStringLiteral("\t機械\tmachine\n"));
    EXPECT_EQ(run({"dictionary", "apply", "機械学習の機械"}).out, QStringLiteral("MLのmachine"));
    EXPECT_EQ(run({"dictionary", "hints"}).out, QStringLiteral("ML\n機械学習\nmachine\n機械\n"));

    EXPECT_EQ(run({"dictionary", "remove", id}).status, 0);
    EXPECT_EQ(UserDictionary::loadEntries().size(), 1u);
    const Result missing = run({"dictionary", "remove", id});
    EXPECT_EQ(missing.status, 1);
    EXPECT_TRUE(missing.err.contains(id));
    EXPECT_EQ(run({"dictionary", "add", "only-source"}).status, 2);
}

TEST_F(CliTest, HotkeyShowPrintsTheLoadedRecordWithDerivedFlags) {
    store_->setData(QStringLiteral("quillory.hotkeyConfig"), R"({"mode":"pushToTalk"})");
    const Result r = run({"hotkey", "show"});
    ASSERT_EQ(r.status, 0);
    const QJsonObject o = QJsonDocument::fromJson(r.out.toUtf8()).object();
    EXPECT_EQ(o.size(), 11);
    EXPECT_FALSE(o["toggleShortcutEnabled"].toBool());
    EXPECT_TRUE(o["modifierChordFnCommand"].toBool());
    EXPECT_TRUE(o["needsFlagsChangedTap"].toBool());
    EXPECT_FALSE(o["needsCarbonToggleHotKey"].toBool());
}

TEST_F(CliTest, SettingsAreTypedAndDataShowsAsJsonTextOrBase64) {
    EXPECT_EQ(run({"settings", "set", "quillory.aiPolish.enabled", "true", "--bool"}).status, 0);
    EXPECT_EQ(store_->boolValue(QStringLiteral("quillory.aiPolish.enabled")), true);
    EXPECT_EQ(run({"settings", "set", "n", "42", "--int"}).status, 0);
    EXPECT_EQ(store_->integerValue(QStringLiteral("n")), 42);
    EXPECT_EQ(run({"settings", "set", "n", "43"}).status, 0) << "an existing key keeps its type";
    EXPECT_EQ(store_->integerValue(QStringLiteral("n")), 43);
    EXPECT_EQ(run({"settings", "set", "n", "x", "--int"}).status, 1);
    EXPECT_EQ(run({"settings", "set", "quillory.hotkeyConfig", R"({"mode":"toggle"})", "--data"}).status, 0);
    EXPECT_EQ(store_->dataValue(QStringLiteral("quillory.hotkeyConfig")), QByteArray(R"({"mode":"toggle"})"));
    store_->setData(QStringLiteral("blob"), QByteArray("\x01\x02", 2));

    EXPECT_EQ(run({"settings", "get", "quillory.hotkeyConfig"}).out,
              QStringLiteral("{\"mode\":\"toggle\"}\n"));
    EXPECT_EQ(run({"settings", "get", "blob"}).out, QStringLiteral("AQI=\n"));
    EXPECT_EQ(run({"settings", "list"}).out,
              QStringLiteral("blob\tdata\tAQI=\n"
                             "n\tinteger\t43\n"
                             "quillory.aiPolish.enabled\tbool\ttrue\n"
                             "quillory.hotkeyConfig\tdata\t{\"mode\":\"toggle\"}\n"));
    EXPECT_EQ(run({"settings", "unset", "blob"}).status, 0);
    EXPECT_EQ(run({"settings", "get", "blob"}).status, 1);
    EXPECT_EQ(run({"settings", "set", "k", "v", "--bool", "--int"}).status, 2);
}

TEST_F(CliTest, DiagnosticsExportWritesTheDefaultNameOrFailsClearly) {
    const Result empty = run({"diagnostics", "export", "--minutes", "15", "--output", path("x.log")});
    EXPECT_EQ(empty.status, 1);
    EXPECT_EQ(empty.err.trimmed(),
              QStringLiteral("The diagnostics log has no entries in the selected period."));
    EXPECT_EQ(run({"diagnostics", "export", "--minutes", "30"}).status, 2);

    CommitDiagnostics::record(CommitDiagnostics::Level::Info, QStringLiteral("stage=start session=1"));
    CommitDiagnostics::waitUntilWritten();
    const QString cwd = QDir::currentPath();
    QDir::setCurrent(home_.path());
    const Result ok = run({"diagnostics", "export", "--minutes", "60"});
    QDir::setCurrent(cwd);
    ASSERT_EQ(ok.status, 0) << ok.err.toStdString();
    EXPECT_EQ(ok.out.trimmed(), home_.filePath(QStringLiteral("quillory-diagnostics-20260314T080000.log")));
    QFile f(ok.out.trimmed());
    ASSERT_TRUE(f.open(QIODevice::ReadOnly));
    EXPECT_TRUE(f.readAll().endsWith("stage=start session=1\n"));
}

TEST_F(CliTest, DoublesMustBeFiniteAndErrorsNameTheirRealCause) {
    for (const char* bad : {"nan", "inf", "-inf", "NaN"}) {
        const Result r = run({"settings", "set", "quillory.speed", bad, "--double"});
        EXPECT_EQ(r.status, 2) << bad;
        EXPECT_TRUE(r.err.startsWith(QStringLiteral("Usage error: "))) << r.err.toStdString();
    }
    EXPECT_FALSE(store_->value(QStringLiteral("quillory.speed")).isValid());
    EXPECT_EQ(run({"settings", "set", "quillory.speed", "1.5", "--double"}).status, 0);
    EXPECT_EQ(run({"settings", "set", "quillory.speed", "inf"}).status, 2) << "the key's own type is double";

    // A corrupt file: reading reports it; an unset with nothing to remove is not a failed write.
    QFile f(store_->filePath());
    ASSERT_TRUE(f.open(QIODevice::WriteOnly));
    f.write("{\"values\":");
    f.close();
    const Result list = run({"settings", "list"});
    EXPECT_EQ(list.status, 1);
    EXPECT_TRUE(list.err.startsWith(QStringLiteral("The settings could not be read: corrupt settings file")))
        << list.err.toStdString();
    EXPECT_EQ(run({"settings", "get", "quillory.speed"}).status, 1);
    const Result unset = run({"settings", "unset", "quillory.speed"});
    EXPECT_EQ(unset.status, 0) << unset.err.toStdString();
    EXPECT_TRUE(unset.err.isEmpty());
}

TEST_F(CliTest, DictionaryCommandsRefuseToReplaceAnUnreadableDictionary) {
    store_->setData(QStringLiteral("quillory.userDictionary.entries"), "[{\"source\":\"kept\"}]");
    const Result r = run({"dictionary", "add", "a", "b"});
    EXPECT_EQ(r.status, 1);
    EXPECT_TRUE(r.err.contains(QStringLiteral("quillory.userDictionary.entries"))) << r.err.toStdString();
    EXPECT_EQ(store_->dataValue(QStringLiteral("quillory.userDictionary.entries")),
              QByteArray("[{\"source\":\"kept\"}]"));
}

TEST_F(CliTest, UnknownCommandsAndOptionsAreUsageErrors) {
    EXPECT_EQ(run({"frobnicate"}).status, 2);
    EXPECT_EQ(run({"settings", "list", "--bogus"}).status, 2);
    EXPECT_EQ(run({"--version"}).status, 0);
    EXPECT_EQ(run({}).status, 0);
}

TEST_F(CliTest, HotkeyAndMicrophoneFailuresSpeakTheUsersLanguage) {
    // No display for the hotkeys, and a sound server that is not there.
    const QByteArray display = qgetenv("DISPLAY");
    const QByteArray pulse = qgetenv("PULSE_SERVER");
    qunsetenv("DISPLAY");
    qputenv("PULSE_SERVER", "unix:" + path(QStringLiteral("no-such-socket")).toUtf8());
    const auto restore = qScopeGuard([&] {
        display.isNull() ? qunsetenv("DISPLAY") : qputenv("DISPLAY", display);
        pulse.isNull() ? qunsetenv("PULSE_SERVER") : qputenv("PULSE_SERVER", pulse);
        Localization::resetLanguage();
    });

    Localization::setLanguage(Localization::Language::Japanese);
    Result hotkey = run({"hotkey", "monitor"});
    EXPECT_EQ(hotkey.status, 1);
    EXPECT_TRUE(hotkey.err.contains(QStringLiteral("X11 ディスプレイがありません"))) << hotkey.err.toStdString();
    Result mic = run({"mic", "--seconds", "1"});
    EXPECT_EQ(mic.status, 1);
    EXPECT_TRUE(mic.err.contains(QStringLiteral("サウンドサーバーに接続できません: "))) << mic.err.toStdString();

    Localization::setLanguage(Localization::Language::English);
    mic = run({"mic", "--seconds", "1"});
    EXPECT_TRUE(mic.err.contains(QStringLiteral("Cannot connect to the sound server: "))) << mic.err.toStdString();
}

TEST_F(CliTest, HelpShowsEveryOptionEachCommandAccepts) {
    const Result help = run({"--help"});
    ASSERT_EQ(help.status, 0);
    const QStringList lines = help.out.split(QLatin1Char('\n'));
    for (const cli::Command& command : cli::commands()) {
        const QString prefix = QStringLiteral("  %1").arg(QLatin1String(command.name));
        const auto line = std::find_if(lines.begin(), lines.end(), [&](const QString& l) {
            return l == prefix || l.startsWith(prefix + QLatin1Char(' '));
        });
        ASSERT_NE(line, lines.end()) << command.name;
        for (const cli::Option& option : command.options) {
            for (const QString& name : option.names()) {
                const QString flag = QStringLiteral("--") + name;
                EXPECT_TRUE(line->contains(flag)) << command.name << " " << flag.toStdString();
                QStringList args{flag};
                if (option.value) {
                    args << QStringLiteral("x");
                }
                const cli::Options parsed(args, command);
                EXPECT_TRUE(parsed.ok()) << command.name << " " << parsed.error().toStdString();
                EXPECT_TRUE(parsed.has(name));
            }
        }
        // The usage error of a command names the same options as its help line.
        EXPECT_EQ(QStringLiteral("  ") + command.synopsis(), line->left(command.synopsis().size() + 2));
    }
    // Once left out of the help while the command parsed them.
    EXPECT_TRUE(help.out.contains("--partial-model ID|off")) << help.out.toStdString();
    EXPECT_TRUE(help.out.contains("--partial-model-file F"));
    EXPECT_TRUE(help.out.contains("  toggle             start or stop dictation in the running app\n"));

    const Result undeclared = run({"transcribe", "--no-such-option", "x.wav"});
    EXPECT_EQ(undeclared.status, 2);
    EXPECT_EQ(undeclared.err, "Usage error: unknown option --no-such-option\n");
    const Result usage = run({"transcribe"});
    EXPECT_EQ(usage.status, 2);
    EXPECT_TRUE(usage.err.contains("[--partial-model ID|off] [--partial-model-file F] [--polish|--no-polish]"))
        << usage.err.toStdString();
}

TEST_F(CliTest, ManualPageAndCompletionNameEveryCommandAndOption) {
    const Result man = run({"__generate", "man"});
    const Result completion = run({"__generate", "bash-completion"});
    ASSERT_EQ(man.status, 0);
    ASSERT_EQ(completion.status, 0);
    EXPECT_TRUE(man.out.startsWith(".TH QUILLORY 1 ")) << man.out.left(80).toStdString();
    for (const cli::Command& command : cli::commands()) {
        // roff: every hyphen escaped, so "speech-models" reads "speech\-models".
        QString synopsis = command.synopsis();
        synopsis.replace(QLatin1Char('-'), QLatin1String("\\-"));
        EXPECT_TRUE(man.out.contains(QStringLiteral(".B quillory ") + synopsis + QLatin1Char('\n'))) << command.name;
        EXPECT_TRUE(completion.out.contains(QStringLiteral("    %1)\n").arg(QLatin1String(command.name))))
            << command.name;
        for (const cli::Option& option : command.options) {
            for (const QString& name : option.names()) {
                EXPECT_TRUE(completion.out.contains(QStringLiteral("--") + name)) << command.name << " " << name.toStdString();
            }
        }
    }
    EXPECT_FALSE(man.out.contains(QLatin1String("__"))) << "hidden commands stay out of the manual";
    EXPECT_TRUE(completion.out.contains("kotoba-whisper-v2.0-q5_0"));
    EXPECT_EQ(run({"__generate", "pdf"}).status, 2);
}
