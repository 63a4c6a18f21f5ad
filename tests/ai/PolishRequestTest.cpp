// What goes to the server and what comes back: the server's key, dictations polished in pieces,
// the server's own error texts, answers cut short, a server dying mid-answer, relative model paths.

#include "AI/PolishSettings.h"
#include "AI/PolishText.h"
#include "ai/EngineTestSupport.h"
#include "support/LogCapture.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>

namespace quillory {
namespace {

using testing::EngineTestBase;
using testing::FakeHttpServer;
using testing::LogCapture;
using K = LocalPolishError::Kind;
using M = PolishModel;

/// The transcript inside a polish prompt of the phi-3 format.
QString transcriptOf(const FakeHttpServer::Request& request) {
    const QString prompt = QJsonDocument::fromJson(request.body).object().value("prompt").toString();
    const QString header = PolishText::transcriptHeader();
    const qsizetype from = prompt.indexOf(header) + header.size();
    return prompt.mid(from, prompt.lastIndexOf("<|end|>") - from);
}

FakeHttpServer::Response json(const QJsonObject& object, int status = 200) {
    return {status, QJsonDocument(object).toJson(QJsonDocument::Compact)};
}

class PolishRequestTest : public EngineTestBase {
protected:
    QStringList pids() const { return lines(runtimeDir_ + "/pids.txt"); }
    QString file(const char* prefix, qint64 pid) const {
        return runtimeDir_ + QStringLiteral("/%1-%2.txt").arg(prefix).arg(pid);
    }
    QList<FakeHttpServer::Request> requestsTo(const QByteArray& path) const {
        QList<FakeHttpServer::Request> out;
        for (const auto& r : health_->requests()) {
            if (r.path == path) {
                out << r;
            }
        }
        return out;
    }
};

TEST_F(PolishRequestTest, EveryStartHasAFreshKeyInItsEnvironmentOnly) {
    createModelFile(M::phi3_miniQ4);
    // Inherited server settings would override ours (or add keys); none reaches the server.
    qputenv("LLAMA_API_KEY", "inherited");
    qputenv("LLAMA_ARG_API_KEY_FILE", "/tmp/keys");
    qputenv("LLAMA_ARG_CORS_ORIGINS", "*");
    drive(engine().polish("text", SpeechLocale::jaJP, M::phi3_miniQ4, "x", {}));
    const qint64 first = engine().serverProcessId();
    engine().stopServer();
    drive(engine().polish("text", SpeechLocale::jaJP, M::phi3_miniQ4, "x", {}));
    const qint64 second = engine().serverProcessId();
    qunsetenv("LLAMA_API_KEY");
    qunsetenv("LLAMA_ARG_API_KEY_FILE");
    qunsetenv("LLAMA_ARG_CORS_ORIGINS");

    const QString key1 = lines(file("key", first)).value(0);
    const QString key2 = lines(file("key", second)).value(0);
    EXPECT_EQ(key1.size(), 64);
    EXPECT_NE(key1, key2);
    EXPECT_NE(key1, "inherited");
    EXPECT_TRUE(lines(file("llama-env", first)).isEmpty());
    for (const qint64 pid : {first, second}) {
        const QStringList args = lines(file("args", pid));
        EXPECT_FALSE(args.contains(lines(file("key", pid)).value(0)));
        EXPECT_TRUE(args.contains("--no-slots"));
        EXPECT_FALSE(args.contains("*"));
    }
    const auto completions = requestsTo("/completion");
    ASSERT_EQ(completions.size(), 2);
    EXPECT_EQ(completions[0].headers.value("authorization"), "Bearer " + key1.toUtf8());
    EXPECT_EQ(completions[1].headers.value("authorization"), "Bearer " + key2.toUtf8());
    // The health check goes out before we know who answers on the port: it carries no key.
    for (const auto& r : requestsTo("/health")) {
        EXPECT_FALSE(r.headers.contains("authorization"));
    }
}

TEST_F(PolishRequestTest, ALongDictationIsPolishedInPiecesJoinedInOrder) {
    createModelFile(M::phi3_miniQ4);
    // About 4,000 characters: sentences of 20, a paragraph break now and then.
    QString dictation;
    for (int i = 0; dictation.size() < 4000; ++i) {
        dictation += QString::fromUtf8("えーと%1番目の文をここで話しています。").arg(i, 3, 10, QChar('0'));
        if (i % 25 == 24) {
            dictation += "\n";
        }
    }
    dictation = dictation.trimmed();
    completion_ = [](const FakeHttpServer::Request& r) {
        if (r.path == "/tokenize") { // one token a character
            const QString content = QJsonDocument::fromJson(r.body).object().value("content").toString();
            return json({{"tokens", QJsonArray::fromVariantList(QVariantList(content.size(), 1))}});
        }
        // Like the server with 2,048 tokens of context: a prompt that leaves no room for 256 more
        // is refused.
        QString polished = transcriptOf(r);
        if (polished.size() + 256 > 2048) {
            return json({{"error", QJsonObject{{"code", 400},
                                               {"message", "request exceeds the available context size"},
                                               {"type", "exceed_context_size_error"}}}},
                        400);
        }
        polished.remove(QString::fromUtf8("えーと"));
        return json({{"content", polished}, {"stop_type", "eos"}, {"truncated", false}});
    };
    const QString out = drive(engine().polish(dictation, SpeechLocale::jaJP, M::phi3_miniQ4, "x", {}));
    EXPECT_EQ(out, QString(dictation).remove(QString::fromUtf8("えーと"))) << "no word lost, order kept";

    const auto pieces = requestsTo("/completion");
    EXPECT_EQ(pieces.size(), engine().lastPolishPieces().size());
    EXPECT_GT(pieces.size(), 4);
    for (const auto& r : pieces) {
        const QJsonObject body = QJsonDocument::fromJson(r.body).object();
        EXPECT_EQ(body.size(), 6);
        EXPECT_EQ(body.value("n_predict").toInt(), 256);
        const QString piece = transcriptOf(r);
        // Its tokens (here one a character) leave room for its answer.
        EXPECT_LE(piece.size(), LocalPolishEngine::kPieceTokens);
        EXPECT_TRUE(piece.endsWith(QString::fromUtf8("。"))) << "cut at a sentence end";
    }
    EXPECT_EQ(requestsTo("/tokenize").size(), 1);
    for (const auto& report : engine().lastPolishPieces()) {
        EXPECT_TRUE(report.polished);
    }

    // A short dictation is one request, with no count of its tokens.
    drive(engine().polish(QString::fromUtf8("短い文です。"), SpeechLocale::jaJP, M::phi3_miniQ4, "x", {}));
    EXPECT_EQ(requestsTo("/tokenize").size(), 1);
    EXPECT_EQ(engine().lastPolishPieces().size(), 1);
}

TEST_F(PolishRequestTest, APieceCutShortOrTooLongKeepsItsOwnTextAndSaysWhy) {
    createModelFile(M::phi3_miniQ4);
    const QString a = QString::fromUtf8("一つ目の文はここまでで終わりです。").repeated(3);
    const QString b = QString::fromUtf8("二つ目の文はここまでで終わりです。").repeated(3);
    const QString c = QString::fromUtf8("三つ目の文はここまでで終わりです。").repeated(3);
    const QString d = QString::fromUtf8("四つ目の文はここまでで終わりです。").repeated(3);
    completion_ = [&](const FakeHttpServer::Request& r) {
        if (r.path == "/tokenize") { // the server can't count: bytes bound the tokens
            return FakeHttpServer::Response{404, {}};
        }
        const QString piece = transcriptOf(r);
        if (piece.startsWith(b.left(3))) {
            return json({{"content", "cut"}, {"stop_type", "limit"}, {"truncated", false}});
        }
        if (piece.startsWith(c.left(3))) {
            return json({{"content", "lost its start"}, {"stop_type", "eos"}, {"truncated", true}});
        }
        if (piece.startsWith(d.left(3))) {
            return json(
                {{"error", QJsonObject{{"code", 400},
                                       {"message", "request (2100 tokens) exceeds the available context size "
                                                   "(2048 tokens), try increasing it"},
                                       {"type", "exceed_context_size_error"}}}},
                400);
        }
        return json({{"content", "P"}, {"stop_type", "eos"}});
    };
    LogCapture log;
    const QString out = drive(
        engine().polish(a + "\n" + b + "\n" + c + "\n" + d, SpeechLocale::jaJP, M::phi3_miniQ4, "x", {}));
    // Bytes bound the tokens: a 17-character sentence is 51 bytes, three of them (a line) make a piece.
    const QStringList outLines = out.split('\n');
    ASSERT_EQ(outLines.size(), 4);
    EXPECT_EQ(outLines[0], "P");
    EXPECT_EQ(outLines[1], b);
    EXPECT_EQ(outLines[2], c);
    EXPECT_EQ(outLines[3], d);
    int kept = 0;
    for (const auto& report : engine().lastPolishPieces()) {
        kept += report.polished ? 0 : 1;
    }
    EXPECT_EQ(engine().lastPolishPieces().size(), 4);
    EXPECT_EQ(kept, 3);
    const QString logged = log.text();
    EXPECT_TRUE(logged.contains("kept as dictated: The answer stopped at the token limit"))
        << logged.toStdString();
    EXPECT_TRUE(
        logged.contains("kept as dictated: HTTP 400. request (2100 tokens) exceeds the available context"))
        << logged.toStdString();
    EXPECT_FALSE(logged.contains(QString::fromUtf8("二つ目"))) << "no dictated text in the log";

    // One piece only, cut short: a failure with its reason, never a cut answer.
    const LocalPolishError e =
        driveExpectingError(engine().polish(b.left(17), SpeechLocale::jaJP, M::phi3_miniQ4, "x", {}));
    EXPECT_EQ(e.kind(), K::invalidResponse);
    EXPECT_EQ(e.message(), "The answer stopped at the token limit or its prompt was truncated");
}

TEST_F(PolishRequestTest, TheServersOwnErrorTextIsShownButNeverTheDictation) {
    const int port = health_->port();
    const auto request = [&](const QString& prompt) {
        return engine().requestLlamaCompletion(prompt, port, {}, 256, 0.05, 0.8, 60s, {});
    };
    completion_ = [](const FakeHttpServer::Request&) {
        return json({{"error", QJsonObject{{"code", 400},
                                           {"message", "request (4100 tokens) exceeds the available context "
                                                       "size (2048 tokens), try increasing it"},
                                           {"type", "exceed_context_size_error"}}}},
                    400);
    };
    LocalPolishError e = driveExpectingError(request("p"));
    EXPECT_EQ(e.kind(), K::requestFailed);
    EXPECT_EQ(e.message(),
              "HTTP 400. request (4100 tokens) exceeds the available context size (2048 tokens), "
              "try increasing it");

    // An error text that quotes the request is withheld.
    const QString secret = QString::fromUtf8("秘密の口述の内容をここに書きました");
    completion_ = [&](const FakeHttpServer::Request&) {
        return json({{"error", QJsonObject{{"code", 500}, {"message", "cannot parse near: " + secret}}}},
                    500);
    };
    e = driveExpectingError(request("prompt " + secret));
    EXPECT_EQ(e.message(), "HTTP 500. (the server's message quotes the request; not logged)");
}

TEST_F(PolishRequestTest, AServerDyingMidAnswerIsATransportFailure) {
    const int port = health_->port();
    completion_ = [](const FakeHttpServer::Request&) {
        FakeHttpServer::Response r{200, R"({"content":"half of the answer and then nothing more"})"};
        r.partialBytes = 14;
        r.closeAfterPartial = true;
        return r;
    };
    LogCapture log;
    const LocalPolishError e =
        driveExpectingError(engine().requestLlamaCompletion("p", port, {}, 256, 0.05, 0.8, 60s, {}));
    EXPECT_EQ(e.kind(), K::requestFailed);
    EXPECT_FALSE(e.message().contains("JSON")) << e.message().toStdString();
    EXPECT_FALSE(e.message().isEmpty());
    EXPECT_TRUE(log.lines.contains("Local llama request failed: " + e.message()))
        << log.text().toStdString();
}

TEST_F(PolishRequestTest, AnswersLongerThanTheTokenLimitAllowsAreRefused) {
    const int port = health_->port();
    const auto request = [&] {
        return engine().requestLlamaCompletion("p", port, {}, 256, 0.05, 0.8, 60s, {});
    };
    // 1.6 MB of crafted tags: far more than 256 tokens can produce; never read whole.
    const QByteArray nested = QByteArray("<thi").repeated(200'000) + "<think>x</think>" +
                              QByteArray("nk>y</think>").repeated(200'000);
    completion_ = [&](const FakeHttpServer::Request&) {
        return FakeHttpServer::Response{200, R"({"content":")" + nested + R"("})"};
    };
    LocalPolishError e = driveExpectingError(request());
    EXPECT_EQ(e.kind(), K::requestFailed);
    EXPECT_TRUE(e.message().startsWith("The answer is longer than ")) << e.message().toStdString();

    // Within the reply's bound, but more text than 256 tokens can stand for.
    completion_ = [&](const FakeHttpServer::Request&) {
        return FakeHttpServer::Response{200, R"({"content":")" + QByteArray(300'000, 'x') + R"("})"};
    };
    e = driveExpectingError(request());
    EXPECT_EQ(e.kind(), K::invalidResponse);
    EXPECT_TRUE(e.message().startsWith("The answer is longer than 256 tokens can be"))
        << e.message().toStdString();
}

TEST_F(PolishRequestTest, RelativeModelPathsAreMadeAbsoluteBeforeUse) {
    createModelFile(M::phi3_miniQ4);
    const QString previous = QDir::currentPath();
    ASSERT_TRUE(QDir::setCurrent(modelDir_));
    auto config = configuration();
    config.modelFiles.insert(M::phi3_miniQ4, "Phi-3-mini-4k-instruct-q4.gguf");
    engine().setConfiguration(config);
    drive(engine().ensureServer(M::phi3_miniQ4));
    const QStringList args = lines(file("args", engine().serverProcessId()));
    EXPECT_EQ(args.value(1), modelDir_ + "/Phi-3-mini-4k-instruct-q4.gguf");

    // The model folder from the environment, relative to where we started.
    ASSERT_TRUE(QDir::setCurrent(home_.path()));
    qputenv("QUILLORY_MODELS_DIR", "models");
    EXPECT_EQ(PolishSettings::modelDirectory(), modelDir_);
    qunsetenv("QUILLORY_MODELS_DIR");
    QDir::setCurrent(previous);
}

} // namespace
} // namespace quillory
