// The engine against the real llama-server and the tiny generated model, on real time (the
// fixture and where its paths come from: RealServerFixture.h).

#include "AI/LocalPolishEngine.h"
#include "AI/PolishSettings.h"
#include "AI/RemotePolishEngine.h"
#include "Cli/Cli.h"
#include "RealServerFixture.h"
#include "support/CoreTest.h"

#include <QCoreApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QFileInfo>
#include <QProcess>
#include <QSet>
#include <QTcpServer>
#include <QTcpSocket>
#include <QThread>

#include <csignal>

namespace quillory {
namespace {

bool alive(qint64 pid) {
    QFile f(QStringLiteral("/proc/%1/stat").arg(pid));
    if (!f.open(QIODevice::ReadOnly)) {
        return false;
    }
    const QByteArray stat = f.readAll();
    return stat.mid(stat.lastIndexOf(')') + 2, 1) != "Z";
}

TEST_F(RealServerTest, PolishesReusesTheServerAndRestartsForAnotherModel) {
    const QString first = await(engine_->polish(QString::fromUtf8("えーと、今日は天気がいいです"),
                                                SpeechLocale::jaJP, PolishModel::qwen35_4bQ4KM, "INSTR", {}));
    EXPECT_EQ(first, runtime_->sentence);
    const qint64 pid = engine_->serverProcessId();
    const int port = *engine_->serverPort();
    EXPECT_GE(port, 49152);
    EXPECT_LE(port, 65535);
    EXPECT_TRUE(QFile::exists(path("run/quillory/llama-server-%1.log").arg(port)));

    EXPECT_EQ(await(engine_->polish("second", SpeechLocale::jaJP, PolishModel::qwen35_4bQ4KM, "INSTR", {})),
              runtime_->sentence);
    EXPECT_EQ(engine_->serverProcessId(), pid) << "the same model reuses the running server";

    EXPECT_EQ(await(engine_->polish("third", SpeechLocale::jaJP, PolishModel::gemma4_e2bQ4KM, "INSTR", {})),
              runtime_->sentence);
    EXPECT_NE(engine_->serverProcessId(), pid);
    EXPECT_EQ(engine_->runningModel(), PolishModel::gemma4_e2bQ4KM);
    EXPECT_TRUE(waitUntil([&] { return !alive(pid); }, 5000)) << "the old server did not exit";

    EXPECT_EQ(await(engine_->chatCompletion({{LocalLLMChatRole::user, "hi"}}, PolishModel::gemma4_e2bQ4KM)),
              runtime_->sentence);
}

/// One HTTP/1.1 exchange over a plain socket, so that nothing between the test and the server
/// adds or drops headers: the status and the headers (lower-case names) of the answer.
struct RawAnswer {
    int status = -1;
    QMap<QByteArray, QByteArray> headers;
};
RawAnswer exchange(int port, const QByteArray& method, const QByteArray& path,
                   const QList<QByteArray>& headers, const QByteArray& body = {}) {
    QTcpSocket socket;
    socket.connectToHost(QHostAddress::LocalHost, static_cast<quint16>(port));
    if (!socket.waitForConnected(5000)) {
        return {};
    }
    QByteArray request = method + " " + path + " HTTP/1.1\r\nHost: 127.0.0.1\r\nConnection: close\r\n";
    for (const QByteArray& h : headers) {
        request += h + "\r\n";
    }
    request += "Content-Length: " + QByteArray::number(body.size()) + "\r\n\r\n" + body;
    socket.write(request);
    QByteArray reply;
    QElapsedTimer t;
    t.start();
    while (t.elapsed() < 30000 && socket.state() != QAbstractSocket::UnconnectedState) {
        socket.waitForReadyRead(100);
        reply += socket.readAll();
    }
    reply += socket.readAll();
    RawAnswer answer;
    const QList<QByteArray> lines = reply.left(reply.indexOf("\r\n\r\n")).split('\n');
    answer.status = lines.value(0).split(' ').value(1).toInt();
    for (qsizetype i = 1; i < lines.size(); ++i) {
        const qsizetype colon = lines[i].indexOf(':');
        if (colon > 0) {
            answer.headers.insert(lines[i].left(colon).trimmed().toLower(),
                                  lines[i].mid(colon + 1).trimmed());
        }
    }
    return answer;
}

QByteArray environmentValue(qint64 pid, const QByteArray& name) {
    QFile f(QStringLiteral("/proc/%1/environ").arg(pid));
    if (!f.open(QIODevice::ReadOnly)) {
        return {};
    }
    for (const QByteArray& entry : f.readAll().split('\0')) {
        if (entry.startsWith(name + "=")) {
            return entry.mid(name.size() + 1);
        }
    }
    return {};
}

TEST_F(RealServerTest, TheServerAnswersOnlyUsNotWebPagesOrOtherUsers) {
    await(engine_->ensureServer(PolishModel::qwen35_4bQ4KM));
    const int port = *engine_->serverPort();
    const qint64 pid = engine_->serverProcessId();
    const QByteArray key = environmentValue(pid, "LLAMA_API_KEY");
    ASSERT_EQ(key.size(), 64);
    QFile cmdline(QStringLiteral("/proc/%1/cmdline").arg(pid));
    ASSERT_TRUE(cmdline.open(QIODevice::ReadOnly));
    EXPECT_FALSE(cmdline.readAll().contains(key)) << "the key is on the command line, readable by everyone";

    const QByteArray evil = "Origin: https://evil.example";
    const QByteArray body = R"({"prompt":"hello","n_predict":4})";
    // A web page's preflight is not allowed, with or without credentials.
    RawAnswer a = exchange(port, "OPTIONS", "/completion",
                           {evil, "Access-Control-Request-Method: POST",
                            "Access-Control-Request-Headers: authorization, content-type"});
    EXPECT_NE(a.headers.value("access-control-allow-origin"), "https://evil.example");
    EXPECT_NE(a.headers.value("access-control-allow-origin"), "*");
    EXPECT_NE(a.headers.value("access-control-allow-credentials"), "true");
    // Without the key: refused, from a page or from anyone else on the machine.
    a = exchange(port, "POST", "/completion", {evil, "Content-Type: application/json"}, body);
    EXPECT_EQ(a.status, 401);
    EXPECT_NE(a.headers.value("access-control-allow-origin"), "https://evil.example");
    a = exchange(port, "POST", "/completion",
                 {"Content-Type: application/json", "Authorization: Bearer wrong"}, body);
    EXPECT_EQ(a.status, 401);
    a = exchange(port, "GET", "/slots", {evil});
    EXPECT_EQ(a.status, 401);
    // The slot listing is off even for us.
    a = exchange(port, "GET", "/slots", {"Authorization: Bearer " + key});
    EXPECT_FALSE(a.status >= 200 && a.status <= 299) << a.status;
    // With the key a foreign origin still gets no permission to read the answer.
    a = exchange(port, "POST", "/completion",
                 {evil, "Content-Type: application/json", "Authorization: Bearer " + key}, body);
    EXPECT_NE(a.headers.value("access-control-allow-origin"), "https://evil.example");

    // Ours works.
    EXPECT_EQ(await(engine_->polish("text", SpeechLocale::jaJP, PolishModel::qwen35_4bQ4KM, "INSTR", {})),
              runtime_->sentence);
}

/// The llama-server we run, reached as a user's polish server on loopback through both APIs:
/// the same prompt, clean-up and pieces give the same sentence, and the key goes as a Bearer header.
TEST_F(RealServerTest, TheServerAsARemotePolishServerThroughBothApis) {
    await(engine_->ensureServer(PolishModel::qwen35_4bQ4KM));
    const int port = *engine_->serverPort();
    const QByteArray key = environmentValue(engine_->serverProcessId(), "LLAMA_API_KEY");
    ASSERT_FALSE(key.isEmpty());
    RemotePolishSettings settings;
    settings.useServer = true;
    settings.url = QUrl(QStringLiteral("http://127.0.0.1:%1").arg(port));
    settings.accessToken = key;
    RemotePolishEngine remote([&settings] { return settings; });
    const auto polish = [&](const QString& text) {
        return await(remote.polish(text, SpeechLocale::jaJP, PolishModel::qwen35_4bQ4KM,
                                   PolishSettings::defaultPrompt(), {}));
    };

    settings.api = RemotePolishApi::llamaCompletion;
    EXPECT_EQ(polish(QString::fromUtf8("えーと、今日は天気がいいです")), runtime_->sentence);
    settings.api = RemotePolishApi::openAiChat;
    settings.model = QStringLiteral("tiny");
    EXPECT_EQ(polish(QString::fromUtf8("えーと、今日は天気がいいです")), runtime_->sentence);

    // A long dictation goes in pieces through the chat API too.
    QString dictation;
    for (int i = 0; dictation.size() < 250; ++i) {
        dictation += QString::fromUtf8("今日の会議では%1件目の議題について話し合いました。").arg(i + 1);
    }
    const QString out = polish(dictation);
    ASSERT_GT(remote.lastPolishPieces().size(), 1);
    EXPECT_EQ(out.count(runtime_->sentence), remote.lastPolishPieces().size());

    // Without the key the server refuses: a failure, never a hang.
    settings.accessToken.clear();
    try {
        polish(QStringLiteral("text"));
        ADD_FAILURE() << "polished without the key";
    } catch (const LocalPolishError& e) {
        EXPECT_TRUE(e.message().contains(QStringLiteral("HTTP 401"))) << e.message().toStdString();
    }
}

TEST_F(RealServerTest, AFourThousandCharacterDictationIsPolishedPieceByPiece) {
    QString dictation;
    for (int i = 0; dictation.size() < 4000; ++i) {
        dictation +=
            QString::fromUtf8("えーと、今日の会議では%1件目の議題について話し合いました。").arg(i + 1);
        if (i % 20 == 19) {
            dictation += "\n";
        }
    }
    const QString out = await(engine_->polish(dictation, SpeechLocale::jaJP, PolishModel::qwen35_4bQ4KM,
                                              PolishSettings::defaultPrompt(), {}));
    const auto& pieces = engine_->lastPolishPieces();
    ASSERT_GT(pieces.size(), 1);
    for (const auto& piece : pieces) {
        EXPECT_TRUE(piece.polished) << piece.keptBecause.toStdString();
    }
    // The tiny model answers every piece with its sentence; the pieces' answers come in order.
    EXPECT_EQ(out.count(runtime_->sentence), pieces.size());
}

// A processor without AVX2 meets only the baseline CPU variant: offered nothing else, the server
// loads it and answers as usual.
TEST_F(RealServerTest, TheBaselineCpuVariantAloneServesTheKnownSentence) {
    const QDir runtimeDir(config_.runtimeDirectory);
    const QStringList variants = runtimeDir.entryList({"libggml-cpu-*.so"}, QDir::Files);
    ASSERT_TRUE(variants.contains("libggml-cpu-x64.so"))
        << "the runtime carries no baseline CPU variant, only: " << variants.join(' ').toStdString();
    const QString baseline = path("baseline");
    ASSERT_TRUE(QDir().mkpath(baseline));
    for (const QString& name : runtimeDir.entryList({"llama-server", "lib*.so*"}, QDir::Files)) {
        if (name.startsWith("libggml-cpu-") && name != "libggml-cpu-x64.so") {
            continue;
        }
        ASSERT_TRUE(QFile::copy(runtimeDir.filePath(name), baseline + "/" + name)) << name.toStdString();
    }
    config_.runtimeDirectory = baseline;
    engine_->setConfiguration(config_);
    const QString out = await(engine_->polish(QString::fromUtf8("えーと、明日の会議は十時からです"),
                                              SpeechLocale::jaJP, PolishModel::qwen35_4bQ4KM, "INSTR", {}));
    EXPECT_EQ(out, runtime_->sentence);
    // The variant the server loaded: the libggml-cpu-*.so mapped into it (its log says so only
    // at a higher verbosity, and not reliably before it exits).
    QFile maps(QStringLiteral("/proc/%1/maps").arg(engine_->serverProcessId()));
    ASSERT_TRUE(maps.open(QIODevice::ReadOnly));
    QSet<QString> loaded;
    for (const QString& line : QString::fromUtf8(maps.readAll()).split('\n')) {
        const QString file = line.section(' ', -1);
        if (QFileInfo(file).fileName().startsWith("libggml-cpu-")) {
            loaded.insert(QFileInfo(file).canonicalFilePath());
        }
    }
    EXPECT_EQ(loaded, QSet<QString>{QFileInfo(baseline + "/libggml-cpu-x64.so").canonicalFilePath()});
}

TEST_F(RealServerTest, StopDuringARunningRequestEndsTheProcessWithinTwoSeconds) {
    await(engine_->ensureServer(PolishModel::qwen35_4bQ4KM));
    const qint64 pid = engine_->serverProcessId();
    // A stopped process holds the request without answering, and, like a busy server, does not
    // act on the terminate signal: only the escalation ends it.
    ASSERT_EQ(::kill(static_cast<pid_t>(pid), SIGSTOP), 0);
    std::optional<LocalPolishError> error;
    auto run = [&]() -> Task<> {
        try {
            co_await engine_->polish("text", SpeechLocale::jaJP, PolishModel::qwen35_4bQ4KM, "x", {});
        } catch (const LocalPolishError& e) {
            error = e;
        }
    };
    auto task = run();
    ASSERT_TRUE(waitUntil([&] { return engine_->hasRequestsInFlight(); }, 2000));
    spin(100);
    QElapsedTimer t;
    t.start();
    engine_->stopServer();
    EXPECT_TRUE(waitUntil([&] { return !alive(pid); }, 4000));
    const qint64 ms = t.elapsed();
    EXPECT_LE(ms, 2500) << "process exit " << ms << " ms after the stop";
    ASSERT_TRUE(error);
    EXPECT_EQ(error->kind(), LocalPolishError::Kind::requestFailed);
}

TEST_F(RealServerTest, CorruptModelReportsTheExitWithTheLogTail) {
    QFile corrupt(path("corrupt.gguf"));
    ASSERT_TRUE(corrupt.open(QIODevice::WriteOnly));
    corrupt.write(QByteArray(100, '\x5a'));
    corrupt.close();
    config_.modelFiles.insert(PolishModel::phi3_miniQ4, corrupt.fileName());
    engine_->setConfiguration(config_);
    try {
        await(engine_->ensureServer(PolishModel::phi3_miniQ4));
        ADD_FAILURE() << "the server started with a corrupt model";
    } catch (const LocalPolishError& e) {
        EXPECT_EQ(e.kind(), LocalPolishError::Kind::serverStartFailed);
        EXPECT_TRUE(e.message().startsWith("process exited. ")) << e.message().toStdString();
        const QString tail = e.message().mid(16);
        EXPECT_FALSE(tail.isEmpty());
        EXPECT_LE(tail.split(" | ").size(), 12);
    }
}

TEST_F(RealServerTest, CleanupEndsTwoStrayServers) {
    // Strays started from a folder unique to this test; the listing only reports those, so other
    // servers of the user on this machine are left alone.
    const QString strayDir = path("stray");
    QDir().mkpath(strayDir);
    ASSERT_TRUE(QFile::link(runtime_->server, strayDir + "/llama-server"));
    const QString pgrep = path("pgrep-strays");
    QFile script(pgrep);
    ASSERT_TRUE(script.open(QIODevice::WriteOnly));
    script.write(QStringLiteral(R"(#!/bin/sh
/usr/bin/pgrep "$@" | while read -r pid; do
  state=$(sed 's/.*) //' /proc/$pid/stat 2>/dev/null | cut -c1)
  [ "$state" = Z ] && continue
  tr '\0' ' ' < /proc/$pid/cmdline 2>/dev/null | grep -q -F '%1/' && echo "$pid"
done
exit 0
)")
                     .arg(strayDir)
                     .toUtf8());
    script.close();
    script.setPermissions(QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);

    QList<std::shared_ptr<QProcess>> strays;
    for (int i = 0; i < 2; ++i) {
        QTcpServer probe;
        probe.listen(QHostAddress::LocalHost, 0);
        const int port = probe.serverPort();
        probe.close();
        auto p = std::make_shared<QProcess>();
        p->setProcessChannelMode(QProcess::MergedChannels);
        p->setStandardOutputFile(QProcess::nullDevice());
        p->start(strayDir + "/llama-server",
                 LocalPolishEngine::serverArguments(runtime_->model, port, PolishModel::phi3_miniQ4));
        ASSERT_TRUE(p->waitForStarted());
        strays << p;
    }
    config_.pgrepPath = pgrep;
    engine_->setConfiguration(config_);
    ASSERT_TRUE(waitUntil([&] { return engine_->llamaServerPIDs().size() == 2; }, 5000));
    EXPECT_EQ(engine_->cleanupResidualServers(), 2);
    for (auto& p : strays) {
        EXPECT_TRUE(p->waitForFinished(5000));
    }
    EXPECT_TRUE(engine_->llamaServerPIDs().isEmpty());
}

// `quillory polish --model-file` with a file name relative to the working folder (the models
// folder): polished, and the server it started is stopped again before the command ends.
TEST_F(RealServerTest, CommandLinePolishFindsARelativeModelFileAndStopsTheServerItStarted) {
    const QString previous = QDir::currentPath();
    ASSERT_TRUE(QDir::setCurrent(QFileInfo(runtime_->model).absolutePath()));
    auto& shared = LocalPolishEngine::shared();
    const auto saved = shared.configuration();
    auto config = config_;
    config.modelFiles.clear();
    shared.setConfiguration(config);
    QString out, err;
    QTextStream o(&out), e(&err);
    cli::Io io{o, e};
    const int status = cli::run({"polish", "--model", "qwen3.5-4b-instruct-q4_k_m", "--model-file",
                                 QFileInfo(runtime_->model).fileName(), QString::fromUtf8("あのー明日は雨")},
                                io);
    QDir::setCurrent(previous);
    EXPECT_EQ(status, 0) << err.toStdString();
    EXPECT_EQ(out.trimmed(), runtime_->sentence);
    EXPECT_FALSE(shared.serverPort());
    shared.setConfiguration(saved);
}

} // namespace
} // namespace quillory
