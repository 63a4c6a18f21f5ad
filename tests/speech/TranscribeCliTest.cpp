// `quillory transcribe` end to end: the committed speech fixtures through the real whisper.cpp
// with the tiny test model (it writes one known sentence for any speech it is given), the real
// speech manager, application state and commit pipeline; with the tiny polish model too when the
// llama runtime is there. Paths come from scripts/run-tests.sh; the tests skip without them.

#include "Cli/Cli.h"
#include "Dictionary/UserDictionary.h"
#include "Speech/SpeechModel.h"
#include "support/CoreTest.h"
#include "support/MemorySecretStore.h"
#include "ai/FakeHttpServer.h"
#include "Runtime/DefaultsStore.h"
#include "Runtime/SecretStore.h"
#include "Speech/RemoteSpeech.h"

#include <QFile>
#include <QFileInfo>
#include <QElapsedTimer>
#include <QLoggingCategory>
#include <QProcess>
#include <QTcpServer>
#include <QTcpSocket>
#include <QThread>

namespace quillory::testing {
namespace {

QString env(const char* name) { return qEnvironmentVariable(name); }

/// Runs one command line; its standard output and error go to `out` and `err`.
int runCommand(const QStringList& args, QString& out, QString& err) {
    out.clear();
    err.clear();
    QTextStream o(&out), e(&err);
    cli::Io io{o, e};
    const int status = cli::run(args, io);
    o.flush();
    e.flush();
    return status;
}

class TranscribeCliTest : public CoreTest {
protected:
    void SetUp() override {
        CoreTest::SetUp();
        QLoggingCategory::setFilterRules(QStringLiteral("app.quillory.quillory.*=false"));
        model = env("QUILLORY_TEST_WHISPER_MODEL");
        vad = env("QUILLORY_TEST_WHISPER_VAD_MODEL");
        sentence = env("QUILLORY_TEST_WHISPER_SENTENCE");
        if (model.isEmpty() || vad.isEmpty() || sentence.isEmpty() || !QFileInfo::exists(model)) {
            GTEST_SKIP() << "the tiny whisper models are not there: run scripts/run-tests.sh or set "
                            "QUILLORY_TEST_WHISPER_MODEL, QUILLORY_TEST_WHISPER_VAD_MODEL and "
                            "QUILLORY_TEST_WHISPER_SENTENCE";
        }
        qputenv("QUILLORY_SPEECH_VAD_MODEL", vad.toUtf8());
        qputenv("QUILLORY_WHISPER_THREADS", "1");
        realClock = std::make_unique<ScopedScheduler>(qt);
    }
    void TearDown() override {
        realClock.reset();
        qunsetenv("QUILLORY_SPEECH_VAD_MODEL");
        qunsetenv("QUILLORY_WHISPER_THREADS");
        CoreTest::TearDown();
    }
    static QString fixture(const char* name) {
        return QStringLiteral(QUILLORY_SOURCE_DIR "/tests/fixtures/speech/") + QLatin1String(name);
    }
    int run(const QStringList& args) { return runCommand(args, out, err); }
    /// The commit's stages in the order they were logged.
    QStringList stages() const {
        QStringList found;
        for (const QString& m : diagnosticsMessages()) {
            const qsizetype at = m.indexOf(QLatin1String("stage="));
            if (at >= 0) {
                found << m.mid(at + 6, m.indexOf(QLatin1Char(' '), at) - at - 6);
            }
        }
        return found;
    }

    QString model, vad, sentence;
    QString out, err;
    QtScheduler qt;
    std::unique_ptr<ScopedScheduler> realClock;
};

TEST_F(TranscribeCliTest, APlainSentenceIsCommittedToStdoutWithTheDictionaryAppliedAndLogged) {
    ASSERT_GE(sentence.size(), 2);
    const QString source = sentence.left(2);
    UserDictionary::saveEntries({UserDictionaryEntry{QUuid::createUuid(), source, QStringLiteral("《置換》")}});
    ASSERT_EQ(run({"transcribe", fixture("plain.wav"), "--speech-model-file", model, "--no-polish", "--partials"}), 0)
        << err.toStdString();
    QString expected = sentence;
    expected.replace(source, QStringLiteral("《置換》"));
    EXPECT_EQ(out.trimmed(), expected);
    EXPECT_TRUE(err.contains(QStringLiteral("partial: "))) << err.toStdString();
    EXPECT_EQ(stages(), (QStringList{"stop_requested", "stop_complete_received", "start", "polish_start", "polish_done",
                                     "inject_start", "end"}));
    const QString log = diagnosticsMessages().join('\n');
    EXPECT_TRUE(log.contains(QStringLiteral("polish_enabled=false"))) << log.toStdString();
    EXPECT_TRUE(log.contains(QStringLiteral("len=%1").arg(expected.size()))) << log.toStdString();
    EXPECT_TRUE(diagnosticsMessages().last().contains(QStringLiteral("result=ok")));
    EXPECT_FALSE(UserDictionary::loadEntries().empty());
}

TEST_F(TranscribeCliTest, EachSentenceBetweenPausesSettlesAsItsOwnSegment) {
    ASSERT_EQ(run({"transcribe", fixture("pauses.wav"), "--speech-model-file", model, "--no-polish"}), 0)
        << err.toStdString();
    // Three sentences, three segments, each decoded once to the model's sentence.
    EXPECT_EQ(out.trimmed(), sentence + sentence + sentence);
}

TEST_F(TranscribeCliTest, WithASecondModelForTheLiveTextTheSelectedModelStillWritesEverySegment) {
    const QString second = path("second.bin");
    ASSERT_TRUE(QFile::copy(model, second));
    ASSERT_EQ(run({"transcribe", fixture("pauses.wav"), "--speech-model-file", model, "--partial-model-file", second,
                   "--no-polish", "--partials"}),
              0)
        << err.toStdString();
    EXPECT_TRUE(err.contains(QStringLiteral("Live text by second.bin"))) << err.toStdString();
    EXPECT_TRUE(err.contains(QStringLiteral("partial: "))) << err.toStdString();
    EXPECT_EQ(out.trimmed(), sentence + sentence + sentence);

    // A live-text model that does not load leaves the selected model to do everything.
    QFile broken(second);
    ASSERT_TRUE(broken.open(QIODevice::WriteOnly | QIODevice::Truncate));
    broken.write("ggml and nothing more");
    broken.close();
    ASSERT_EQ(run({"transcribe", fixture("plain.wav"), "--speech-model-file", model, "--partial-model-file", second,
                   "--no-polish"}),
              0)
        << err.toStdString();
    EXPECT_FALSE(err.contains(QStringLiteral("Live text by"))) << err.toStdString();
    EXPECT_EQ(out.trimmed(), sentence);

    EXPECT_EQ(run({"transcribe", fixture("plain.wav"), "--speech-model-file", model, "--partial-model", "nope"}), 1);
    EXPECT_TRUE(err.contains(QStringLiteral("Unknown speech model 'nope'"))) << err.toStdString();
}

TEST_F(TranscribeCliTest, SilenceCommitsNothingAndNoisySpeechStillDecodes) {
    ASSERT_EQ(run({"transcribe", fixture("silence.wav"), "--speech-model-file", model, "--no-polish"}), 0)
        << err.toStdString();
    EXPECT_EQ(out, QString());
    EXPECT_TRUE(err.contains(QStringLiteral("No speech was recognised")));

    ASSERT_EQ(run({"transcribe", fixture("noisy.wav"), "--speech-model-file", model, "--no-polish"}), 0)
        << err.toStdString();
    EXPECT_EQ(out.trimmed(), sentence);
}

TEST_F(TranscribeCliTest, AWavWhoseDataSizeWasNeverWrittenIsReadToItsEndAndSaysSo) {
    QFile original(fixture("plain.wav"));
    ASSERT_TRUE(original.open(QIODevice::ReadOnly));
    const QByteArray bytes = original.readAll();
    const qsizetype data = bytes.indexOf("data");
    ASSERT_GT(data, 0);
    // A recorder that was stopped before it wrote the size leaves 0; one that streams, 0xFFFFFFFF.
    for (const char fill : {'\x00', '\xff'}) {
        QByteArray patched = bytes;
        patched.replace(data + 4, 4, QByteArray(4, fill));
        QFile file(path("unsized.wav"));
        ASSERT_TRUE(file.open(QIODevice::WriteOnly | QIODevice::Truncate));
        file.write(patched);
        file.close();
        ASSERT_EQ(run({"transcribe", path("unsized.wav"), "--speech-model-file", model, "--no-polish"}), 0)
            << err.toStdString();
        EXPECT_EQ(out.trimmed(), sentence) << int(fill);
        EXPECT_TRUE(err.contains(QStringLiteral("reading"))) << err.toStdString();
    }
}

TEST_F(TranscribeCliTest, MissingOrBrokenModelsAndAudioFailCleanly) {
    EXPECT_EQ(run({"transcribe", fixture("plain.wav"), "--speech-model", "whisper-base-q5_1"}), 1);
    EXPECT_TRUE(err.contains(QStringLiteral("quillory speech-models download whisper-base-q5_1"))) << err.toStdString();

    QFile truncated(path("truncated.bin"));
    ASSERT_TRUE(truncated.open(QIODevice::WriteOnly));
    QFile whole(model);
    ASSERT_TRUE(whole.open(QIODevice::ReadOnly));
    truncated.write(whole.read(whole.size() / 2));
    truncated.close();
    EXPECT_EQ(run({"transcribe", fixture("plain.wav"), "--speech-model-file", path("truncated.bin")}), 1);
    EXPECT_TRUE(err.contains(QStringLiteral("could not be loaded"))) << err.toStdString();
    EXPECT_TRUE(out.isEmpty());

    QFile notWav(path("not.wav"));
    ASSERT_TRUE(notWav.open(QIODevice::WriteOnly));
    notWav.write("hello");
    notWav.close();
    EXPECT_EQ(run({"transcribe", path("not.wav"), "--speech-model-file", model}), 1);
    EXPECT_EQ(run({"transcribe", "--speech-model-file", model}), 2);
}

TEST_F(TranscribeCliTest, WithPolishTheTinyPolishModelsSentenceIsCommitted) {
    const QString server = env("QUILLORY_TEST_LLAMA_SERVER");
    const QString polishModel = env("QUILLORY_TEST_TINY_MODEL");
    const QString polished = env("QUILLORY_TEST_KNOWN_SENTENCE");
    if (server.isEmpty() || polishModel.isEmpty() || polished.isEmpty() || !QFileInfo::exists(server)) {
        GTEST_SKIP() << "the llama runtime is not there (QUILLORY_TEST_LLAMA_SERVER, QUILLORY_TEST_TINY_MODEL)";
    }
    qputenv("QUILLORY_RUNTIME_DIR", QFileInfo(server).absolutePath().toUtf8());
    const int status = run({"transcribe", fixture("plain.wav"), "--speech-model-file", model, "--polish",
                            "--polish-model-file", polishModel});
    qunsetenv("QUILLORY_RUNTIME_DIR");
    ASSERT_EQ(status, 0) << err.toStdString();
    EXPECT_EQ(out.trimmed(), polished);
    EXPECT_EQ(stages(), (QStringList{"stop_requested", "stop_complete_received", "start", "polish_start", "polish_done",
                                     "inject_start", "end"}));
    const QString log = diagnosticsMessages().join('\n');
    EXPECT_TRUE(log.contains(QStringLiteral("polish_enabled=true"))) << log.toStdString();
    EXPECT_TRUE(diagnosticsMessages().last().contains(QStringLiteral("result=ok")));
}

class SpeechModelsCliTest : public CoreTest {
protected:
    int run(const QStringList& args) { return runCommand(args, out, err); }
    QString out, err;
};

/// whisper.cpp's own `whisper-server` (built from the same source by scripts/whisper-runtime.sh
/// --server) on loopback with the tiny model: recognition on a server, end to end.
class TranscribeOnServerTest : public TranscribeCliTest {
protected:
    void SetUp() override {
        TranscribeCliTest::SetUp();
        if (IsSkipped()) {
            return;
        }
        serverBinary = env("QUILLORY_TEST_WHISPER_SERVER");
        if (serverBinary.isEmpty() || !QFileInfo(serverBinary).isExecutable()) {
            GTEST_SKIP() << "whisper-server is not there: run scripts/run-tests.sh or set QUILLORY_TEST_WHISPER_SERVER";
        }
    }
    void TearDown() override {
        if (server.state() != QProcess::NotRunning) {
            server.kill();
            server.waitForFinished(30'000);
        }
        TranscribeCliTest::TearDown();
    }
    static int freePort() {
        QTcpServer probe;
        probe.listen(QHostAddress::LocalHost, 0);
        return probe.serverPort();
    }
    /// Starts the server on a free loopback port; its base address, or empty when it did not come up.
    QString startServer(const QStringList& extra = {}) {
        port = freePort();
        server.setProcessChannelMode(QProcess::MergedChannels);
        server.start(serverBinary, QStringList{"-m", model, "--host", "127.0.0.1", "--port", QString::number(port),
                                               "-t", "1", "-l", "ja"} + extra);
        if (!server.waitForStarted(30'000)) {
            return {};
        }
        // Up once it accepts connections (it loads the model first); generous for a loaded machine.
        QElapsedTimer waited;
        waited.start();
        while (waited.elapsed() < 120'000 && server.state() == QProcess::Running) {
            QTcpSocket probe;
            probe.connectToHost(QHostAddress::LocalHost, static_cast<quint16>(port));
            if (probe.waitForConnected(1000)) {
                return QStringLiteral("http://127.0.0.1:%1").arg(port);
            }
            QThread::msleep(50);
        }
        ADD_FAILURE() << "whisper-server did not come up: " << server.readAll().toStdString();
        return {};
    }

    QString serverBinary;
    QProcess server;
    int port = 0;
};

TEST_F(TranscribeOnServerTest, TheServersTextIsCommittedForBothApis) {
    const QString base = startServer();
    ASSERT_FALSE(base.isEmpty());
    ASSERT_EQ(run({"transcribe", fixture("plain.wav"), "--speech-model-file", model, "--no-polish", "--server", base}),
              0)
        << err.toStdString();
    EXPECT_EQ(out.trimmed(), sentence);
    EXPECT_TRUE(err.contains(QStringLiteral("Recognised by the server at %1").arg(base))) << err.toStdString();

    // The OpenAI-style path, served by the same server under that path.
    server.kill();
    server.waitForFinished(30'000);
    const QString openAi = startServer({"--inference-path", "/v1/audio/transcriptions"});
    ASSERT_FALSE(openAi.isEmpty());
    ASSERT_EQ(run({"transcribe", fixture("pauses.wav"), "--speech-model-file", model, "--no-polish", "--server", openAi,
                   "--server-api", "openai", "--server-model", "tiny"}),
              0)
        << err.toStdString();
    // Each sentence between pauses went to the server as it settled (the tiny model writes its one
    // sentence for each request): three requests, three sentences.
    EXPECT_EQ(out.trimmed(), sentence + sentence + sentence);
    EXPECT_TRUE(err.contains(QStringLiteral("Recognised by the server"))) << err.toStdString();
}

TEST_F(TranscribeOnServerTest, AServerThatIsGoneOrWrongLeavesThisComputersText) {
    // Nothing listens: refused.
    ASSERT_EQ(run({"transcribe", fixture("pauses.wav"), "--speech-model-file", model, "--no-polish", "--server",
                   QStringLiteral("http://127.0.0.1:%1").arg(freePort())}),
              0)
        << err.toStdString();
    EXPECT_EQ(out.trimmed(), sentence + sentence + sentence);
    EXPECT_TRUE(err.contains(QStringLiteral("the text is this computer's"))) << err.toStdString();

    // A real server asked on the wrong path answers 404.
    const QString base = startServer();
    ASSERT_FALSE(base.isEmpty());
    ASSERT_EQ(run({"transcribe", fixture("plain.wav"), "--speech-model-file", model, "--no-polish", "--server", base,
                   "--server-api", "openai"}),
              0)
        << err.toStdString();
    EXPECT_EQ(out.trimmed(), sentence);
    EXPECT_TRUE(err.contains(QStringLiteral("HTTP 404"))) << err.toStdString();

    // An address the rules refuse, and a wrong API name, are usage failures before anything runs.
    EXPECT_NE(run({"transcribe", fixture("plain.wav"), "--speech-model-file", model, "--server", "http://8.8.8.8:80"}), 0);
    EXPECT_TRUE(err.contains(QStringLiteral("https://"))) << err.toStdString();
    EXPECT_NE(run({"transcribe", fixture("plain.wav"), "--speech-model-file", model, "--server", base,
                   "--server-api", "grpc"}),
              0);
    EXPECT_TRUE(out.isEmpty());
}

TEST_F(TranscribeOnServerTest, TheStoredApiKeyGoesOnlyToTheServerItWasStoredFor) {
    InstalledSecretStore secrets;
    const auto serve = [] {
        return std::make_unique<FakeHttpServer>([](const FakeHttpServer::Request&) {
            FakeHttpServer::Response r;
            r.status = 200;
            r.body = R"({"text":"鹿児島に行きます。"})";
            r.contentType = "application/json";
            return r;
        });
    };
    const auto stored = serve();
    const auto other = serve();
    const QString storedUrl = QStringLiteral("http://127.0.0.1:%1").arg(stored->port());
    DefaultsStore& settings = DefaultsStore::standard();
    settings.setValue(QLatin1String(RemoteSpeechSettings::engineKey), QStringLiteral("server"));
    settings.setValue(QLatin1String(RemoteSpeechSettings::urlKey), storedUrl);
    ASSERT_TRUE(speechServerApiKey.store(settings, "sk-transcribe"));

    ASSERT_EQ(run({"transcribe", fixture("plain.wav"), "--speech-model-file", model, "--no-polish", "--server",
                   storedUrl}),
              0)
        << err.toStdString();
    ASSERT_FALSE(stored->requests().isEmpty());
    EXPECT_EQ(stored->requests().front().headers.value("authorization"), "Bearer sk-transcribe");

    ASSERT_EQ(run({"transcribe", fixture("plain.wav"), "--speech-model-file", model, "--no-polish", "--server",
                   QStringLiteral("http://127.0.0.1:%1").arg(other->port())}),
              0)
        << err.toStdString();
    ASSERT_FALSE(other->requests().isEmpty());
    EXPECT_FALSE(other->requests().front().headers.contains("authorization"));
    EXPECT_FALSE(err.contains(QStringLiteral("sk-transcribe")));
}

TEST_F(SpeechModelsCliTest, ListsSelectsAndNamesPaths) {
    ASSERT_EQ(run({"speech-models", "select", "whisper-small-q5_1"}), 0);
    EXPECT_EQ(SpeechModels::selectedModel(), SpeechModel::whisperSmallQ5_1);
    ASSERT_EQ(run({"speech-models", "list"}), 0);
    EXPECT_TRUE(out.contains(QStringLiteral("* whisper-small-q5_1")));
    EXPECT_TRUE(out.contains(QStringLiteral("kotoba-whisper-v2.0-q5_0")));
    EXPECT_TRUE(out.contains(QStringLiteral("live text by: the selected model"))) << out.toStdString();
    ASSERT_EQ(run({"speech-models", "select", "kotoba-whisper-v2.0-q5_0"}), 0);
    ASSERT_EQ(run({"speech-models", "list"}), 0);
    EXPECT_TRUE(out.contains(QStringLiteral("live text by: whisper-base-q5_1 (not downloaded"))) << out.toStdString();
    ASSERT_EQ(run({"speech-models", "select", "whisper-small-q5_1"}), 0);
    ASSERT_EQ(run({"speech-models", "path", "whisper-base-q5_1"}), 0);
    EXPECT_EQ(out.trimmed(), SpeechModels::modelPath(SpeechModel::whisperBaseQ5_1));
    EXPECT_EQ(run({"speech-models", "select", "nope"}), 1);
    EXPECT_EQ(run({"speech-models", "download"}), 2);
    EXPECT_EQ(run({"transcribe", "a.wav", "--polish", "--no-polish"}), 2);
    // Without the model the command names the download that fixes it.
    EXPECT_EQ(run({"transcribe", "a.wav"}), 1);
    EXPECT_TRUE(err.contains(QStringLiteral("quillory speech-models download whisper-small-q5_1"))) << err.toStdString();
}

} // namespace
} // namespace quillory::testing
