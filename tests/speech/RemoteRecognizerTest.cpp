// Recognition on a server: the server's final, and the on-device final whenever the server fails.
// A loopback HTTP server inside the test answers; virtual time runs the time limit.

#include "support/CoreTest.h"
#include "support/LogCapture.h"

#include "../session/SpeechFakes.h"
#include "ai/FakeHttpServer.h"
#include "support/MemorySecretStore.h"
#include "Speech/RemoteRecognizer.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QLoggingCategory>
#include <QFile>
#include <QProcess>
#include <QSslCertificate>
#include <QSslConfiguration>
#include <QSslKey>
#include <QSslServer>
#include <QSslSocket>
#include <QTcpServer>
#include <QTimer>

#include <optional>
#include <vector>

namespace quillory::testing {
namespace {

class RemoteRecognizerTest : public CoreTest {
protected:
    void SetUp() override {
        CoreTest::SetUp();
        QLoggingCategory::setFilterRules(QStringLiteral("app.quillory.quillory.speech.info=true"));
        log_.emplace("app.quillory.quillory.speech");
    }
    void TearDown() override {
        task_.reset();
        log_.reset();
        CoreTest::TearDown();
    }
    QString logText() const { return log_->text(); }
    std::optional<LogCapture> log_;

    RemoteSpeechSettings settingsFor(int port, RemoteSpeechApi api = RemoteSpeechApi::whisperServer) {
        RemoteSpeechSettings s;
        s.useServer = true;
        s.url = QUrl(QStringLiteral("http://127.0.0.1:%1").arg(port));
        s.api = api;
        s.model = QStringLiteral("large-v3");
        s.timeout = seconds(6);
        return s;
    }

    /// Starts a recognition; its snapshots go to `snapshots_`, its endings are counted in `finals_`.
    void begin(const RemoteSpeechSettings& settings, const RecognitionOptions& options = {}) {
        recognizer_ = std::make_shared<RemoteRecognizer>(device_, settings);
        request_ = recognizer_->makeRequest(options);
        ASSERT_TRUE(request_);
        task_ = recognizer_->recognitionTask(request_, [this](const SpeechRecognitionSnapshot& s) {
            finals_ += s.isFinal || s.errorDescription ? 1 : 0;
            snapshots_.push_back(s);
        });
        ASSERT_TRUE(task_);
    }

    /// Starts a recognition of one second of audio with two dictionary hints, ends the audio.
    void dictate(const RemoteSpeechSettings& settings) {
        RecognitionOptions options;
        options.contextualStrings = QStringList{QStringLiteral("九州"), QStringLiteral("鹿児島")};
        begin(settings, options);
        const std::vector<float> audio(800, 0.25f);
        for (int i = 0; i < 20; ++i) {
            request_->append(audio);
        }
        device_->send(QStringLiteral("端末の"), false);
        request_->endAudio();
    }

    bool pumpUntil(const std::function<bool()>& done) { return pumpWithServer(clock_, server_.get(), done); }

    QString finalText() const {
        for (const auto& s : snapshots_) {
            if (s.isFinal) {
                return s.text.value_or(QString());
            }
        }
        return QStringLiteral("<no final>");
    }

    std::shared_ptr<FakeRecognizer> device_ = std::make_shared<FakeRecognizer>();
    std::unique_ptr<FakeHttpServer> server_;
    std::shared_ptr<RemoteRecognizer> recognizer_;
    std::shared_ptr<RecognitionRequest> request_;
    std::unique_ptr<RecognitionTask> task_;
    std::vector<SpeechRecognitionSnapshot> snapshots_;
    int finals_ = 0;
};

FakeHttpServer::Response answer(int status, QByteArray body, QByteArray type = "application/json") {
    FakeHttpServer::Response r;
    r.status = status;
    r.body = std::move(body);
    r.contentType = std::move(type);
    return r;
}

QByteArray formField(const QByteArray& body, const QByteArray& name) {
    const QByteArray marker = "name=\"" + name + "\"";
    const qsizetype at = body.indexOf(marker);
    if (at < 0) {
        return {};
    }
    const qsizetype start = body.indexOf("\r\n\r\n", at) + 4;
    return body.mid(start, body.indexOf("\r\n--", start) - start);
}

TEST_F(RemoteRecognizerTest, TheServersTextIsTheFinalAndTheLiveTextStaysOnDevice) {
    server_ = std::make_unique<FakeHttpServer>([](const FakeHttpServer::Request&) {
        return answer(200, R"({"text":" 鹿児島に行きます。\n"})");
    });
    dictate(settingsFor(server_->port()));
    ASSERT_TRUE(pumpUntil([&] { return finals_ > 0; }));

    EXPECT_EQ(finalText(), QStringLiteral("鹿児島に行きます。"));
    EXPECT_EQ(finals_, 1);
    ASSERT_FALSE(snapshots_.empty());
    EXPECT_EQ(snapshots_.front().text, QStringLiteral("端末の")); // the live text passed through
    EXPECT_TRUE(*device_->taskCancelled) << "the on-device final is not needed any more";
    EXPECT_EQ(device_->request->frameCount(), 16000u) << "the on-device recogniser hears all of the audio";

    ASSERT_EQ(server_->requests().size(), 1);
    const auto& r = server_->requests().front();
    EXPECT_EQ(r.path, "/inference");
    EXPECT_EQ(formField(r.body, "language"), "ja");
    EXPECT_EQ(formField(r.body, "response_format"), "json");
    EXPECT_EQ(formField(r.body, "prompt"), QStringLiteral("九州、鹿児島。").toUtf8());
    EXPECT_TRUE(formField(r.body, "model").isEmpty());
    const QByteArray wav = formField(r.body, "file");
    ASSERT_TRUE(wav.startsWith("RIFF"));
    EXPECT_EQ(wav.size(), 44 + 2 * 16000) << "one second of 16-bit audio";
    // Nothing of what was sent is logged.
    EXPECT_FALSE(logText().contains(QStringLiteral("九州")));
}

TEST_F(RemoteRecognizerTest, SegmentsGoToTheServerAsTheySettleAndTheFinalJoinsThemInOrder) {
    server_ = std::make_unique<FakeHttpServer>([this](const FakeHttpServer::Request&) {
        return answer(200, server_->requests().size() == 1 ? R"({"text":"一つ目。"})" : R"({"text":"二つ目。"})");
    });
    RecognitionOptions options;
    options.contextualStrings = QStringList{QStringLiteral("九州")};
    begin(settingsFor(server_->port()), options);
    ASSERT_TRUE(device_->request->settledHandler);
    request_->append(std::vector<float>(24000, 0.25f));
    device_->request->settledHandler(16000); // a segment settled at 1 s, while speech goes on
    ASSERT_TRUE(pumpUntil([&] { return logText().contains(QStringLiteral("stage=server_transcribed")); }));
    ASSERT_EQ(server_->requests().size(), 1);
    EXPECT_EQ(formField(server_->requests()[0].body, "file").size(), 44 + 2 * 16000);
    request_->append(std::vector<float>(8000, 0.25f));
    request_->endAudio(); // the rest: 1 s
    ASSERT_TRUE(pumpUntil([&] { return finals_ > 0; }));
    EXPECT_EQ(finalText(), QStringLiteral("一つ目。二つ目。"));
    ASSERT_EQ(server_->requests().size(), 2);
    EXPECT_EQ(formField(server_->requests()[1].body, "file").size(), 44 + 2 * 16000);
    // The second piece is conditioned on the hints and the server's text of the first.
    EXPECT_EQ(formField(server_->requests()[1].body, "prompt"), QStringLiteral("九州。一つ目。").toUtf8());
}

TEST_F(RemoteRecognizerTest, TheConnectionOpensWhileTheUserSpeaksAndTheRequestAfterTheReleaseUsesIt) {
    server_ = std::make_unique<FakeHttpServer>([](const FakeHttpServer::Request&) {
        return answer(200, R"({"text":"鹿児島。"})");
    });
    begin(settingsFor(server_->port()));
    request_->append(std::vector<float>(16000, 0.25f));
    ASSERT_TRUE(pumpUntil([&] { return server_->connections() == 1; })) << "no connection while the user speaks";
    EXPECT_TRUE(server_->requests().isEmpty());
    request_->endAudio();
    ASSERT_TRUE(pumpUntil([&] { return finals_ > 0; }));
    EXPECT_EQ(finalText(), QStringLiteral("鹿児島。"));
    EXPECT_EQ(server_->connections(), 1) << "the request went over the connection opened ahead";
}

TEST_F(RemoteRecognizerTest, BesideAServerOnThisComputerTheOnDeviceFinalIsMadeOnlyWhenTheServerFails) {
    server_ = std::make_unique<FakeHttpServer>([](const FakeHttpServer::Request&) {
        FakeHttpServer::Response r = answer(200, R"({"text":"鹿児島。"})");
        r.hold = true;
        return r;
    });
    dictate(settingsFor(server_->port()));
    ASSERT_TRUE(pumpUntil([&] { return server_->heldCount() == 1; }));
    EXPECT_FALSE(device_->request->ended) << "the server has the cores to itself";
    EXPECT_TRUE(device_->request->held) << "nor does the live text decode meanwhile";
    server_->release();
    ASSERT_TRUE(pumpUntil([&] { return finals_ > 0; }));
    EXPECT_EQ(finalText(), QStringLiteral("鹿児島。"));
    EXPECT_FALSE(device_->request->ended);

    // The server fails: the on-device final is asked for then, and it is the text.
    server_->setHandler([](const FakeHttpServer::Request&) { return answer(503, "busy"); });
    task_.reset();
    snapshots_.clear();
    finals_ = 0;
    device_ = std::make_shared<FakeRecognizer>();
    dictate(settingsFor(server_->port()));
    ASSERT_TRUE(pumpUntil([&] { return device_->request->ended; }));
    EXPECT_EQ(finals_, 0);
    device_->send(QStringLiteral("端末の文です。"), true);
    ASSERT_TRUE(pumpUntil([&] { return finals_ > 0; }));
    EXPECT_EQ(finalText(), QStringLiteral("端末の文です。"));

    // A server elsewhere has cores of its own: the on-device final is made beside it, at once.
    task_.reset();
    device_ = std::make_shared<FakeRecognizer>();
    auto elsewhere = settingsFor(9);
    elsewhere.url = QUrl(QStringLiteral("https://speech.invalid"));
    dictate(elsewhere);
    EXPECT_TRUE(device_->request->ended);
}

TEST_F(RemoteRecognizerTest, OnePieceThatFailsLeavesTheWholeOnDeviceText) {
    server_ = std::make_unique<FakeHttpServer>([this](const FakeHttpServer::Request&) {
        return server_->requests().size() == 1 ? answer(200, R"({"text":"一つ目。"})") : answer(503, "busy");
    });
    begin(settingsFor(server_->port()));
    request_->append(std::vector<float>(32000, 0.25f));
    device_->request->settledHandler(16000);
    ASSERT_TRUE(pumpUntil([&] { return server_->requests().size() == 1; }));
    request_->endAudio();
    device_->send(QStringLiteral("端末の一つ目。端末の二つ目。"), true);
    ASSERT_TRUE(pumpUntil([&] { return finals_ > 0; }));
    EXPECT_EQ(finalText(), QStringLiteral("端末の一つ目。端末の二つ目。"));
    EXPECT_TRUE(logText().contains(QStringLiteral("HTTP 503")));
}

TEST_F(RemoteRecognizerTest, AnOpenAiStyleServerGetsTheModelName) {
    server_ = std::make_unique<FakeHttpServer>([](const FakeHttpServer::Request&) {
        return answer(200, R"({"text":"はい"})");
    });
    auto settings = settingsFor(server_->port(), RemoteSpeechApi::openAi);
    settings.url.setPath(QStringLiteral("/base/"));
    dictate(settings);
    ASSERT_TRUE(pumpUntil([&] { return finals_ > 0; }));
    EXPECT_EQ(finalText(), QStringLiteral("はい"));
    ASSERT_EQ(server_->requests().size(), 1);
    EXPECT_EQ(server_->requests().front().path, "/base/v1/audio/transcriptions");
    EXPECT_EQ(formField(server_->requests().front().body, "model"), "large-v3");
}

/// Each way a server fails ends with the on-device final, logged, and exactly one final.
struct Fault {
    const char* name;
    std::function<FakeHttpServer::Response()> answer; // none: nothing listens
    bool deviceFinalFirst;
};

void PrintTo(const Fault& fault, std::ostream* os) { *os << fault.name; }

class ServerFaultTest : public RemoteRecognizerTest, public ::testing::WithParamInterface<Fault> {};

TEST_P(ServerFaultTest, EndsWithTheOnDeviceText) {
    const Fault& fault = GetParam();
    int port = 0;
    if (fault.answer) {
        server_ = std::make_unique<FakeHttpServer>([&](const FakeHttpServer::Request&) { return fault.answer(); });
        port = server_->port();
    } else {
        QTcpServer probe;
        ASSERT_TRUE(probe.listen(QHostAddress::LocalHost, 0));
        port = probe.serverPort();
    }
    dictate(settingsFor(port));
    if (fault.deviceFinalFirst) {
        device_->send(QStringLiteral("端末の文です。"), true);
        EXPECT_EQ(finals_, 0) << "the server's answer is awaited first";
    } else {
        // The server fails before the on-device final comes: that final is awaited.
        ASSERT_TRUE(pumpUntil([&] { return logText().contains(QStringLiteral("stage=server_fallback")); }));
        EXPECT_EQ(finals_, 0);
        device_->send(QStringLiteral("端末の文です。"), true);
    }
    ASSERT_TRUE(pumpUntil([&] { return finals_ > 0; }));
    EXPECT_EQ(finalText(), QStringLiteral("端末の文です。"));
    EXPECT_EQ(finals_, 1);
    EXPECT_TRUE(logText().contains(QStringLiteral("stage=server_fallback")));
    EXPECT_LE(clock_.monotonicNow(), seconds(7)) << "no longer than the time limit";
}

INSTANTIATE_TEST_SUITE_P(
    Faults, ServerFaultTest,
    ::testing::Values(
        Fault{"refused", {}, true}, Fault{"refusedBeforeTheDeviceFinal", {}, false},
        Fault{"stalled", [] { return FakeHttpServer::Response{.hang = true}; }, true},
        Fault{"stalledBeforeTheDeviceFinal", [] { return FakeHttpServer::Response{.hang = true}; }, false},
        Fault{"status500", [] { return answer(500, R"({"error":"boom"})"); }, true},
        Fault{"wrongJson", [] { return answer(200, R"({"segments":[]})"); }, true},
        Fault{"notJson", [] { return answer(200, "<html>hi</html>", "text/html"); }, true},
        Fault{"noWords", [] { return answer(200, R"({"text":"  "})"); }, true},
        // Headers come in time, the rest of the body never does.
        Fault{"slowPastTheLimit",
              [] {
                  auto r = answer(200, R"({"text":"遅すぎた"})");
                  r.partialBytes = 5;
                  return r;
              },
              true}),
    [](const auto& info) { return std::string(info.param.name); });

TEST_F(RemoteRecognizerTest, ACancelledRecognitionSendsNothingMoreAndAbortsTheRequest) {
    server_ = std::make_unique<FakeHttpServer>([](const FakeHttpServer::Request&) {
        return FakeHttpServer::Response{.hang = true};
    });
    dictate(settingsFor(server_->port()));
    ASSERT_TRUE(pumpUntil([&] { return server_->parkedCount() == 1; }));
    const auto before = snapshots_.size();
    task_->cancel();
    device_->send(QStringLiteral("遅れた"), true);
    pumpUntil([&] { return server_->parkedCount() == 0; });
    clock_.advance(seconds(10));
    EXPECT_EQ(server_->parkedCount(), 0) << "the request was aborted";
    EXPECT_EQ(snapshots_.size(), before);
    EXPECT_TRUE(*device_->taskCancelled);
}

TEST_F(RemoteRecognizerTest, TheDoctorsCheckTimesAShortTranscriptionAndSaysWhyItFailed) {
    server_ = std::make_unique<FakeHttpServer>([](const FakeHttpServer::Request&) { return answer(200, R"({"text":""})"); });
    auto outcome = std::make_shared<std::optional<RemoteServerCheck>>();
    auto run = [](RemoteSpeechSettings s, std::shared_ptr<std::optional<RemoteServerCheck>> into) -> Task<> {
        *into = co_await checkRemoteServer(std::move(s));
    };
    auto first = run(settingsFor(server_->port()), outcome);
    ASSERT_TRUE(pumpUntil([&] { return outcome->has_value(); }));
    EXPECT_TRUE((*outcome)->answered) << (*outcome)->error.toStdString();
    EXPECT_GE((*outcome)->latencyMs, 0);
    EXPECT_EQ(formField(server_->requests().front().body, "file").size(), 44 + 16000) << "half a second";

    server_->setHandler([](const FakeHttpServer::Request&) { return FakeHttpServer::Response{.hang = true}; });
    outcome->reset();
    auto second = run(settingsFor(server_->port()), outcome);
    ASSERT_TRUE(pumpUntil([&] { return outcome->has_value(); }));
    EXPECT_FALSE((*outcome)->answered);
    EXPECT_TRUE((*outcome)->error.contains(QStringLiteral("did not answer within 6 s"))) << (*outcome)->error.toStdString();
}

// ---- https on loopback with a self-signed certificate ----

/// An https server on loopback answering every request with one transcription, its certificate
/// (for 127.0.0.1) made by openssl for the test.
class TlsTranscriptionServer {
public:
    explicit TlsTranscriptionServer(const QString& dir) {
        const QString key = dir + "/key.pem", cert = dir + "/cert.pem";
        QProcess openssl;
        openssl.start("openssl", {"req", "-x509", "-newkey", "rsa:2048", "-nodes", "-keyout", key, "-out", cert,
                                  "-days", "2", "-subj", "/CN=127.0.0.1", "-addext", "subjectAltName=IP:127.0.0.1"});
        if (!openssl.waitForFinished(120'000) || openssl.exitCode() != 0) {
            return;
        }
        QFile k(key), c(cert);
        if (!k.open(QIODevice::ReadOnly) || !c.open(QIODevice::ReadOnly)) {
            return;
        }
        certificate = QSslCertificate(c.readAll());
        QSslConfiguration config = QSslConfiguration::defaultConfiguration();
        config.setLocalCertificate(certificate);
        config.setPrivateKey(QSslKey(k.readAll(), QSsl::Rsa));
        server_.setSslConfiguration(config);
        QObject::connect(&server_, &QTcpServer::pendingConnectionAvailable, &server_, [this] {
            while (auto* socket = static_cast<QSslSocket*>(server_.nextPendingConnection())) {
                auto buffer = std::make_shared<QByteArray>();
                QObject::connect(socket, &QSslSocket::readyRead, socket, [this, socket, buffer] {
                    buffer->append(socket->readAll());
                    const qsizetype end = buffer->indexOf("\r\n\r\n");
                    if (end < 0) {
                        return;
                    }
                    const QByteArray head = buffer->left(end).toLower();
                    const qsizetype at = head.indexOf("content-length:");
                    const qsizetype length = at < 0 ? 0 : head.mid(at + 15, head.indexOf('\r', at) - at - 15).trimmed().toLongLong();
                    if (buffer->size() < end + 4 + length) {
                        return;
                    }
                    ++answered;
                    const QByteArray body = R"({"text":"安全な経路。"})";
                    socket->write("HTTP/1.1 200 OK\r\nContent-Type: application/json\r\nContent-Length: " +
                                  QByteArray::number(body.size()) + "\r\nConnection: close\r\n\r\n" + body);
                    socket->disconnectFromHost();
                });
            }
        });
        server_.listen(QHostAddress::LocalHost, 0);
    }
    bool ok() const { return !certificate.isNull() && server_.isListening(); }
    int port() const { return server_.serverPort(); }

    QSslCertificate certificate;
    int answered = 0;

private:
    QSslServer server_;
};

TEST_F(RemoteRecognizerTest, AnHttpsServerWhoseCertificateIsNotTrustedIsNeverAnsweredFor) {
    if (!QSslSocket::supportsSsl()) {
        GTEST_FAIL() << "Qt has no TLS backend here";
    }
    TlsTranscriptionServer tls(path(""));
    ASSERT_TRUE(tls.ok());
    auto settings = settingsFor(tls.port());
    settings.url = QUrl(QStringLiteral("https://127.0.0.1:%1").arg(tls.port()));
    dictate(settings);
    device_->send(QStringLiteral("端末の文です。"), true);
    ASSERT_TRUE(pumpUntil([&] { return finals_ > 0; }));
    EXPECT_EQ(finalText(), QStringLiteral("端末の文です。")) << "a self-signed certificate is refused";
    EXPECT_EQ(tls.answered, 0) << "nothing was sent over the unverified connection";
    EXPECT_TRUE(logText().contains(QStringLiteral("stage=server_fallback"))) << logText().toStdString();

    // The same server with its certificate trusted (as a certificate authority the system knew
    // would be): its text is used.
    const QSslConfiguration before = QSslConfiguration::defaultConfiguration();
    QSslConfiguration trusting = before;
    trusting.addCaCertificate(tls.certificate);
    QSslConfiguration::setDefaultConfiguration(trusting);
    snapshots_.clear();
    finals_ = 0;
    dictate(settings);
    const bool done = pumpUntil([&] { return finals_ > 0; });
    QSslConfiguration::setDefaultConfiguration(before);
    ASSERT_TRUE(done);
    EXPECT_EQ(finalText(), QStringLiteral("安全な経路。"));
    EXPECT_EQ(tls.answered, 1);
}

TEST(RemoteServerAddress, PlainHttpOnlyOnThisComputerOrAConfirmedPrivateNetwork) {
    const auto ok = [](const char* url, bool confirmed = false) {
        return remoteServerUrlProblem(QUrl(QString::fromLatin1(url)), confirmed).isEmpty();
    };
    EXPECT_TRUE(ok("http://127.0.0.1:8080"));
    EXPECT_TRUE(ok("http://127.3.4.5:8080"));
    EXPECT_TRUE(ok("http://localhost:8080"));
    EXPECT_TRUE(ok("http://[::1]:8080"));
    EXPECT_TRUE(ok("https://speech.example.org"));
    EXPECT_TRUE(ok("https://10.0.0.5"));
    EXPECT_FALSE(ok("http://192.168.1.20:8080"));
    EXPECT_TRUE(ok("http://192.168.1.20:8080", true));
    EXPECT_TRUE(ok("http://10.1.2.3", true));
    EXPECT_TRUE(ok("http://172.20.0.1", true));
    EXPECT_TRUE(ok("http://[fd00::1]", true));
    EXPECT_FALSE(ok("http://172.32.0.1", true));
    EXPECT_FALSE(ok("http://8.8.8.8", true));
    EXPECT_FALSE(ok("http://speech.example.org", true)) << "a name may resolve anywhere";
    EXPECT_FALSE(ok("ftp://127.0.0.1"));
    EXPECT_FALSE(ok(""));
    EXPECT_FALSE(ok("not a url"));
}

TEST_F(RemoteRecognizerTest, AnAddressTheRulesRefuseIsNeverContacted) {
    auto settings = settingsFor(1);
    settings.url = QUrl(QStringLiteral("http://8.8.8.8:9"));
    dictate(settings);
    device_->send(QStringLiteral("端末の文です。"), true);
    ASSERT_TRUE(pumpUntil([&] { return finals_ > 0; }));
    EXPECT_EQ(finalText(), QStringLiteral("端末の文です。"));
    EXPECT_TRUE(logText().contains(QStringLiteral("use https://")));
}

TEST_F(RemoteRecognizerTest, TheStoredApiKeyGoesAsABearerHeaderAndAnUnreadableOneSendsNothing) {
    InstalledSecretStore secrets;
    server_ = std::make_unique<FakeHttpServer>([](const FakeHttpServer::Request&) {
        return answer(200, R"({"text":"鹿児島に行きます。"})");
    });
    store_->setValue(QLatin1String(RemoteSpeechSettings::engineKey), QStringLiteral("server"));
    store_->setValue(QLatin1String(RemoteSpeechSettings::urlKey),
                     QStringLiteral("http://127.0.0.1:%1").arg(server_->port()));
    ASSERT_TRUE(speechServerApiKey.store(*store_, "k3y-speech"));
    EXPECT_EQ(secrets.store->secrets.value(QStringLiteral("speech-server")), "k3y-speech");
    for (const QString& key : store_->keys()) {
        EXPECT_FALSE(store_->value(key).toString().contains(QStringLiteral("k3y"))) << key.toStdString();
    }

    dictate(RemoteSpeechSettings::read(*store_));
    ASSERT_TRUE(pumpUntil([&] { return finals_ > 0; }));
    EXPECT_EQ(finalText(), QStringLiteral("鹿児島に行きます。"));
    ASSERT_EQ(server_->requests().size(), 1);
    EXPECT_EQ(server_->requests().front().headers.value("authorization"), "Bearer k3y-speech");
    EXPECT_FALSE(logText().contains(QStringLiteral("k3y")));

    // The keyring locked since: no request without the key, this computer's text, the reason logged.
    secrets.store->failure = QStringLiteral("the keyring is locked");
    const RemoteSpeechSettings locked = RemoteSpeechSettings::read(*store_);
    EXPECT_TRUE(locked.accessToken.isEmpty());
    EXPECT_TRUE(locked.accessTokenProblem.contains(QStringLiteral("the keyring is locked")));
    task_.reset();
    snapshots_.clear();
    finals_ = 0;
    device_ = std::make_shared<FakeRecognizer>();
    dictate(locked);
    device_->send(QStringLiteral("端末の文です。"), true);
    ASSERT_TRUE(pumpUntil([&] { return finals_ > 0; }));
    EXPECT_EQ(finalText(), QStringLiteral("端末の文です。"));
    EXPECT_EQ(server_->requests().size(), 1);
    EXPECT_EQ(server_->connections(), 1) << "not even a connection without the key";
    EXPECT_TRUE(logText().contains(QStringLiteral("the keyring is locked"))) << logText().toStdString();

    // Removing the key clears the flag: nothing is asked of the store any more.
    secrets.store->failure.clear();
    ASSERT_TRUE(speechServerApiKey.store(*store_, {}));
    EXPECT_FALSE(speechServerApiKey.isStored(*store_));
    EXPECT_TRUE(secrets.store->secrets.isEmpty());
    secrets.store->failure = QStringLiteral("must not be asked");
    EXPECT_TRUE(RemoteSpeechSettings::read(*store_).accessTokenProblem.isEmpty());
}

TEST_F(RemoteRecognizerTest, SettingsAreReadFromTheStore) {
    // Defaults: on this computer.
    EXPECT_FALSE(RemoteSpeechSettings::read(*store_).useServer);
    store_->setValue(QLatin1String(RemoteSpeechSettings::engineKey), QStringLiteral("server"));
    store_->setValue(QLatin1String(RemoteSpeechSettings::urlKey), QStringLiteral(" http://127.0.0.1:8080 "));
    store_->setValue(QLatin1String(RemoteSpeechSettings::apiKey), QStringLiteral("openai"));
    store_->setValue(QLatin1String(RemoteSpeechSettings::timeoutKey), 1000.0);
    const auto s = RemoteSpeechSettings::read(*store_);
    EXPECT_TRUE(s.useServer);
    EXPECT_EQ(s.url, QUrl(QStringLiteral("http://127.0.0.1:8080")));
    EXPECT_EQ(s.api, RemoteSpeechApi::openAi);
    EXPECT_EQ(s.timeout, seconds(7)) << "clamped below the session's 8 s wait for the recogniser";
    EXPECT_EQ(RemoteSpeechSettings::apiNamed(QStringLiteral("openai")), RemoteSpeechApi::openAi);
    EXPECT_EQ(RemoteSpeechSettings::apiNamed(QStringLiteral("whisper")), RemoteSpeechApi::whisperServer);
    EXPECT_FALSE(RemoteSpeechSettings::apiNamed(QStringLiteral("other")));
    EXPECT_EQ(parseTranscriptionAnswer(R"({"text":" a "})").value(), QStringLiteral("a"));
    EXPECT_FALSE(parseTranscriptionAnswer(R"([1])"));
    EXPECT_FALSE(parseTranscriptionAnswer(R"({"text":5})"));
}

} // namespace
} // namespace quillory::testing
