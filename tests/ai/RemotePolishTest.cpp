// Polish on a server: the requests both APIs get, and every way a server fails ending with the
// unpolished text pasted. A loopback HTTP server inside the test answers; virtual time runs the
// time limits.

#include "ai/FakeHttpServer.h"
#include "support/LogCapture.h"
#include "support/MemorySecretStore.h"
#include "session/SessionTestSupport.h"

#include "AI/PolishSettings.h"
#include "AI/PolishText.h"
#include "AI/RemotePolishEngine.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QTcpServer>
#include <QTimer>

#include <optional>

namespace quillory::testing {
namespace {

FakeHttpServer::Response answer(int status, QByteArray body, QByteArray type = "application/json") {
    FakeHttpServer::Response r;
    r.status = status;
    r.body = std::move(body);
    r.contentType = std::move(type);
    return r;
}

QByteArray llamaAnswer(const QString& content, const char* stopType = "eos") {
    return QJsonDocument(QJsonObject{{"content", content}, {"stop_type", stopType}}).toJson(QJsonDocument::Compact);
}

QByteArray chatAnswer(const QString& content, const char* finish = "stop") {
    return QJsonDocument(
               QJsonObject{{"choices", QJsonArray{QJsonObject{{"message", QJsonObject{{"role", "assistant"},
                                                                                      {"content", content}}},
                                                              {"finish_reason", finish}}}}})
        .toJson(QJsonDocument::Compact);
}

const QString kDictation = QString::fromUtf8("えーと明日の会議は十時からです");

/// A session whose polish is the server engine (the other collaborators are the session fakes).
class RemotePolishTest : public SessionTest {
protected:
    void SetUp() override {
        SessionTest::SetUp();
        QLoggingCategory::setFilterRules(QStringLiteral("app.quillory.quillory.*=false\n"
                                                        "app.quillory.quillory.input.info=true\n"
                                                        "app.quillory.quillory.input.warning=true"));
        log_.emplace();
        settings_.useServer = true;
        settings_.timeout = seconds(5);
        remote_ = std::make_shared<RemotePolishEngine>([this] { return settings_; });
        state = std::make_unique<AppState>(AppStateServices{speech, input, permissions, environment, remote_});
        wire();
        state->setAiPolishEnabled(true);
    }
    void TearDown() override {
        state.reset();
        remote_.reset();
        server_.reset();
        log_.reset();
        SessionTest::TearDown();
    }
    QString logText() const { return log_->text(); }
    std::optional<LogCapture> log_;

    void serve(FakeHttpServer::Handler handler, RemotePolishApi api = RemotePolishApi::llamaCompletion) {
        server_ = std::make_unique<FakeHttpServer>(std::move(handler));
        settings_.url = QUrl(QStringLiteral("http://127.0.0.1:%1").arg(server_->port()));
        settings_.api = api;
    }

    bool pumpUntil(const std::function<bool()>& done) { return pumpWithServer(clock_, server_.get(), done); }

    /// The engine alone: its text, or the error's message.
    QString polishDirectly(const QString& text, PolishModel model = PolishModel::qwen35_4bQ4KM) {
        std::optional<QString> out;
        auto run = [&]() -> Task<> {
            try {
                out = co_await remote_->polish(text, SpeechLocale::jaJP, model, QStringLiteral("INSTR"), {});
            } catch (const LocalPolishError& e) {
                out = QStringLiteral("error: ") + e.message();
            }
        };
        auto task = run();
        EXPECT_TRUE(pumpUntil([&] { return out.has_value(); }));
        return out.value_or(QStringLiteral("<none>"));
    }

    /// One dictation through the session; true once its words were pasted.
    bool dictateAndPaste() {
        dictate({kDictation}, kDictation);
        return pumpUntil([&] { return !input->commits.empty(); });
    }

    RemotePolishSettings settings_;
    std::shared_ptr<RemotePolishEngine> remote_;
    std::unique_ptr<FakeHttpServer> server_;
};

TEST_F(RemotePolishTest, LlamaServerGetsTheLocalPromptAndTheAnswerIsCleanedAndPasted) {
    serve([](const FakeHttpServer::Request&) {
        return answer(200, llamaAnswer(QString::fromUtf8("<think>考え中</think>\"明日の会議は10時からです。\"")));
    });
    settings_.url.setPath(QStringLiteral("/llm/"));
    settings_.accessToken = "s3cret";
    ASSERT_TRUE(dictateAndPaste());
    EXPECT_EQ(insertedTexts(), QStringList{QString::fromUtf8("明日の会議は10時からです。")});

    ASSERT_EQ(server_->requests().size(), 1);
    const auto& request = server_->requests().front();
    EXPECT_EQ(request.path, "/llm/completion");
    EXPECT_EQ(request.headers.value("authorization"), "Bearer s3cret");
    EXPECT_EQ(request.body, PolishText::completionBody(
                                PolishText::polishPrompt(kDictation, PolishSettings::selectedModel(),
                                                         PolishSettings::prompt()),
                                PolishModels::stopTokens(PolishSettings::selectedModel()), 256, 0.05, 0.8))
        << "the local engine's prompt, stop tokens and limits";
    EXPECT_TRUE(logText().contains(QStringLiteral("stage=polish_server host=127.0.0.1 pieces=1")));
    EXPECT_FALSE(logText().contains(kDictation)) << "nothing of the dictation is logged";
    EXPECT_FALSE(logText().contains(QStringLiteral("s3cret")));
}

TEST_F(RemotePolishTest, AnOpenAiStyleServerGetsTwoTurnsAndTheModelName) {
    serve([](const FakeHttpServer::Request&) { return answer(200, chatAnswer(QString::fromUtf8("整った文。"))); },
          RemotePolishApi::openAiChat);
    settings_.model = QStringLiteral("qwen3-8b");
    EXPECT_EQ(polishDirectly(kDictation), QString::fromUtf8("整った文。"));
    ASSERT_EQ(server_->requests().size(), 1);
    const auto& request = server_->requests().front();
    EXPECT_EQ(request.path, "/v1/chat/completions");
    EXPECT_FALSE(request.headers.contains("authorization")) << "no key, no header";
    const QJsonObject body = QJsonDocument::fromJson(request.body).object();
    EXPECT_EQ(body.value("model").toString(), QStringLiteral("qwen3-8b"));
    const QJsonArray messages = body.value("messages").toArray();
    ASSERT_EQ(messages.size(), 2);
    EXPECT_EQ(messages[0].toObject().value("role").toString(), QStringLiteral("system"));
    EXPECT_EQ(messages[0].toObject().value("content").toString(), QStringLiteral("INSTR"));
    EXPECT_EQ(messages[1].toObject().value("content").toString(), PolishText::polishUserMessage(kDictation));
    EXPECT_EQ(body.value("max_tokens").toInt(), 256);
    EXPECT_FALSE(body.value("stream").toBool(true));

    // An answer cut at the token limit is no polish.
    server_->setHandler([](const FakeHttpServer::Request&) {
        return answer(200, chatAnswer(QString::fromUtf8("途中で"), "length"));
    });
    EXPECT_TRUE(polishDirectly(kDictation).startsWith(QStringLiteral("error: The answer stopped at the token limit")));
}

TEST_F(RemotePolishTest, ALongDictationGoesInPiecesCountedByTheServer) {
    QString dictation;
    for (int i = 0; i < 12; ++i) {
        dictation += QString::fromUtf8("今日の会議では%1件目の議題について話し合いました。").arg(i + 1);
    }
    serve([](const FakeHttpServer::Request& r) {
        if (r.path == "/tokenize") {
            // About one token per character.
            const int n = int(QJsonDocument::fromJson(r.body).object().value("content").toString().size());
            QJsonArray tokens;
            for (int i = 0; i < n; ++i) {
                tokens.append(i);
            }
            return answer(200, QJsonDocument(QJsonObject{{"tokens", tokens}}).toJson(QJsonDocument::Compact));
        }
        // The piece with the last sentence is cut short: it keeps its own text, the others are polished.
        const bool last = QJsonDocument::fromJson(r.body).object().value("prompt").toString().contains(
            QString::fromUtf8("12件目"));
        return answer(200, last ? llamaAnswer("X", "limit") : llamaAnswer("P"));
    });
    const QString out = polishDirectly(dictation);
    EXPECT_EQ(server_->count("/tokenize"), 1);

    const auto& pieces = remote_->lastPolishPieces();
    ASSERT_GT(pieces.size(), 1);
    EXPECT_EQ(out.count(QLatin1Char('P')), std::count_if(pieces.begin(), pieces.end(),
                                                         [](const auto& p) { return p.polished; }));
    EXPECT_FALSE(pieces.back().polished);
    EXPECT_TRUE(pieces.back().keptBecause.contains(QStringLiteral("token limit")));
    EXPECT_TRUE(out.endsWith(QString::fromUtf8("12件目の議題について話し合いました。"))) << out.toStdString();
}

/// Each way a server fails ends with the unpolished text pasted, a log line and within the time limit.
struct Fault {
    const char* name;
    std::function<FakeHttpServer::Response()> answer; // none: nothing listens
    RemotePolishApi api = RemotePolishApi::llamaCompletion;
};

void PrintTo(const Fault& fault, std::ostream* os) { *os << fault.name; }

class ServerPolishFaultTest : public RemotePolishTest, public ::testing::WithParamInterface<Fault> {};

TEST_P(ServerPolishFaultTest, EndsWithTheUnpolishedTextPasted) {
    const Fault& fault = GetParam();
    if (fault.answer) {
        serve([&](const FakeHttpServer::Request&) { return fault.answer(); }, fault.api);
    } else {
        QTcpServer probe;
        ASSERT_TRUE(probe.listen(QHostAddress::LocalHost, 0));
        settings_.url = QUrl(QStringLiteral("http://127.0.0.1:%1").arg(probe.serverPort()));
        settings_.api = fault.api;
    }
    const Duration began = clock_.monotonicNow();
    ASSERT_TRUE(dictateAndPaste());
    EXPECT_EQ(insertedTexts(), QStringList{kDictation});
    EXPECT_TRUE(logText().contains(QStringLiteral("stage=polish_server_fallback host=127.0.0.1")))
        << logText().toStdString();
    EXPECT_EQ(lines({"polish_task=failed"}).size(), 1) << "the session saw the failure, not its own 35 s limit";
    EXPECT_LE(clock_.monotonicNow() - began, seconds(6)) << "no longer than the server's time limit";
    EXPECT_FALSE(logText().contains(kDictation)) << "nothing of the dictation is logged";
    EXPECT_EQ(remote_->requestsInFlight(), 0);
}

INSTANTIATE_TEST_SUITE_P(
    Faults, ServerPolishFaultTest,
    ::testing::Values(
        Fault{"refused", {}},
        Fault{"stalled", [] { return FakeHttpServer::Response{.hang = true}; }},
        Fault{"status500", [] { return answer(500, R"({"error":{"message":"out of memory"}})"); }},
        // The server's message quotes the dictation: it is withheld from the log.
        Fault{"status400QuotingTheRequest",
              [] {
                  return answer(400, QJsonDocument(QJsonObject{{"error", QJsonObject{{"message", kDictation}}}})
                                         .toJson(QJsonDocument::Compact));
              }},
        Fault{"wrongJson", [] { return answer(200, R"({"text":"はい"})"); }},
        Fault{"wrongJsonForChat", [] { return answer(200, llamaAnswer("はい")); }, RemotePolishApi::openAiChat},
        Fault{"notJson", [] { return answer(200, "<html>hi</html>", "text/html"); }},
        Fault{"nothingButThinking", [] { return answer(200, llamaAnswer("<think>hmm</think>  ")); }},
        Fault{"redirected",
              [] {
                  auto r = answer(307, "");
                  r.extraHeaders = "Location: http://127.0.0.1:9/completion\r\n";
                  return r;
              }},
        // Headers come in time, the rest of the body never does.
        Fault{"slowPastTheLimit",
              [] {
                  auto r = answer(200, llamaAnswer("遅すぎた"));
                  r.partialBytes = 5;
                  return r;
              }}),
    [](const auto& info) { return std::string(info.param.name); });

TEST_F(RemotePolishTest, AnAddressTheRulesRefuseIsNeverContacted) {
    settings_.url = QUrl(QStringLiteral("http://8.8.8.8:9"));
    ASSERT_TRUE(dictateAndPaste());
    EXPECT_EQ(insertedTexts(), QStringList{kDictation});
    EXPECT_TRUE(logText().contains(QStringLiteral("use https://"))) << logText().toStdString();
}

TEST_F(RemotePolishTest, AStopAbandonsTheRequestAndTheNextPolishWorks) {
    serve([](const FakeHttpServer::Request&) { return FakeHttpServer::Response{.hang = true}; });
    std::optional<QString> out;
    auto run = [&]() -> Task<> {
        try {
            out = co_await remote_->polish(kDictation, SpeechLocale::jaJP, PolishModel::qwen35_4bQ4KM, "x", {});
        } catch (const LocalPolishError& e) {
            out = e.message();
        }
    };
    auto task = run();
    ASSERT_TRUE(pumpUntil([&] { return server_->parkedCount() == 1; }));
    remote_->stopServer();
    ASSERT_TRUE(pumpUntil([&] { return out.has_value(); }));
    EXPECT_TRUE(out->contains(QStringLiteral("abandoned"))) << out->toStdString();
    EXPECT_LT(clock_.monotonicNow(), seconds(5)) << "at once, not at the time limit";
    ASSERT_TRUE(pumpUntil([&] { return server_->parkedCount() == 0; })) << "the connection was closed";

    server_->setHandler([](const FakeHttpServer::Request&) { return answer(200, llamaAnswer("次")); });
    EXPECT_EQ(polishDirectly(kDictation), QString::fromUtf8("次"));
}

TEST_F(RemotePolishTest, TheStoredApiKeyIsSentAndAnUnreadableOneSendsNothing) {
    InstalledSecretStore secrets;
    serve([](const FakeHttpServer::Request&) { return answer(200, llamaAnswer("整った文。")); });
    DefaultsStore& store = DefaultsStore::standard();
    store.setValue(QLatin1String(RemotePolishSettings::engineKey), QStringLiteral("server"));
    store.setValue(QLatin1String(RemotePolishSettings::urlKey), settings_.url.toString());
    ASSERT_TRUE(polishServerApiKey.store(store, "k3y-polish"));
    settings_ = RemotePolishSettings::read(store);
    settings_.timeout = seconds(5);
    EXPECT_EQ(settings_.accessToken, "k3y-polish");
    EXPECT_EQ(polishDirectly(kDictation), QString::fromUtf8("整った文。"));
    ASSERT_EQ(server_->requests().size(), 1);
    EXPECT_EQ(server_->requests().front().headers.value("authorization"), "Bearer k3y-polish");

    // No secret service any more: the text stays unpolished and nothing is sent without the key.
    secrets.store->failure = QStringLiteral("no secret service is running on this desktop");
    settings_ = RemotePolishSettings::read(store);
    EXPECT_TRUE(settings_.accessToken.isEmpty());
    const QString out = polishDirectly(kDictation);
    EXPECT_TRUE(out.startsWith(QStringLiteral("error: ")) && out.contains(QStringLiteral("no secret service")))
        << out.toStdString();
    EXPECT_EQ(server_->requests().size(), 1);
    EXPECT_TRUE(logText().contains(QStringLiteral("stage=polish_server_fallback"))) << logText().toStdString();
    EXPECT_FALSE(logText().contains(QStringLiteral("k3y")));

    // A key stored while the store was failing: nothing stored, the flag unchanged.
    store.setValue(QLatin1String(polishServerApiKey.flagKey), false);
    EXPECT_FALSE(polishServerApiKey.store(store, "other"));
    EXPECT_FALSE(polishServerApiKey.isStored(store));
    SecretStore::install(nullptr);
    const Expected<> none = polishServerApiKey.store(store, "other");
    ASSERT_FALSE(none);
    EXPECT_TRUE(none.error().contains(QStringLiteral("no secret store"))) << none.error().toStdString();
    EXPECT_FALSE(polishServerApiKey.isStored(store));
}

TEST_F(RemotePolishTest, SettingsAreReadFromTheStoreAndTheChoiceFollowsThem) {
    EXPECT_FALSE(RemotePolishSettings::read(*store_).useServer) << "on this computer by default";
    store_->setValue(QLatin1String(RemotePolishSettings::engineKey), QStringLiteral("server"));
    store_->setValue(QLatin1String(RemotePolishSettings::urlKey), QStringLiteral(" http://127.0.0.1:8080 "));
    store_->setValue(QLatin1String(RemotePolishSettings::apiKey), QStringLiteral("openai"));
    store_->setValue(QLatin1String(RemotePolishSettings::modelKey), QStringLiteral(" m "));
    store_->setValue(QLatin1String(RemotePolishSettings::timeoutKey), 1000.0);
    const auto s = RemotePolishSettings::read(*store_);
    EXPECT_TRUE(s.useServer);
    EXPECT_EQ(s.url, QUrl(QStringLiteral("http://127.0.0.1:8080")));
    EXPECT_EQ(s.api, RemotePolishApi::openAiChat);
    EXPECT_EQ(s.model, QStringLiteral("m"));
    EXPECT_EQ(s.timeout, seconds(30)) << "within the session's 35 s limit";
    EXPECT_TRUE(s.accessToken.isEmpty());

    // The choice: the local engine unless the settings name a server; both are stopped.
    FakePolish local;
    local.transform = [](const QString& t) { return t + QStringLiteral(" (local)"); };
    serve([](const FakeHttpServer::Request&) { return answer(200, llamaAnswer("remote")); });
    settings_.useServer = false;
    ChosenPolishService chosen(local, [this] { return settings_; });
    std::optional<QString> out;
    auto run = [&]() -> Task<> {
        out = co_await chosen.polish("a", SpeechLocale::jaJP, PolishModel::qwen35_4bQ4KM, "x", {});
    };
    auto first = run();
    ASSERT_TRUE(pumpUntil([&] { return out.has_value(); }));
    EXPECT_EQ(*out, QStringLiteral("a (local)"));
    chosen.warmUp();
    EXPECT_EQ(local.warmUps, 1);
    settings_.useServer = true;
    out.reset();
    auto second = run();
    ASSERT_TRUE(pumpUntil([&] { return out.has_value(); }));
    EXPECT_EQ(*out, QStringLiteral("remote"));
    chosen.warmUp();
    EXPECT_EQ(local.warmUps, 1) << "no local server started while a server polishes";
    chosen.stopServer();
    EXPECT_EQ(local.stopCount, 1);
}

} // namespace
} // namespace quillory::testing
