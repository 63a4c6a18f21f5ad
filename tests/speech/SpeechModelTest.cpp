#include "ai/FakeHttpServer.h"
#include "support/CoreTest.h"
#include "support/HostedFile.h"

#include "Runtime/Async.h"
#include "Runtime/DefaultsStore.h"
#include "Speech/SpeechModel.h"

#include <QCoreApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QLoggingCategory>

namespace quillory::testing {
namespace {

using M = SpeechModel;

TEST(SpeechModelCatalogueTest, EntriesAddressesAndSelection) {
    EXPECT_EQ(SpeechModels::allCases.size(), 6u);
    EXPECT_EQ(SpeechModels::recommendedModel(2), M::whisperSmallQ8_0);
    EXPECT_EQ(SpeechModels::recommendedModel(4), M::kotobaWhisperV2Q5_0);
    for (M m : SpeechModels::allCases) {
        EXPECT_EQ(SpeechModels::fromId(SpeechModels::id(m)), m);
        EXPECT_FALSE(SpeechModels::detail(m).isEmpty());
    }
    EXPECT_EQ(SpeechModels::fromId(QStringLiteral("whisper-tiny")), std::nullopt);
    EXPECT_EQ(SpeechModels::defaultModel, M::kotobaWhisperV2Q5_0);
    qunsetenv("QUILLORY_MODEL_BASE_URL");
    EXPECT_EQ(SpeechModels::downloadURL(M::kotobaWhisperV2Q5_0),
              "https://huggingface.co/kotoba-tech/kotoba-whisper-v2.0-ggml/resolve/main/"
              "ggml-kotoba-whisper-v2.0-q5_0.bin");
    EXPECT_EQ(SpeechModels::downloadURL(M::whisperLargeV3TurboQ5_0),
              "https://huggingface.co/ggerganov/whisper.cpp/resolve/main/ggml-large-v3-turbo-q5_0.bin");
    EXPECT_EQ(SpeechModels::downloadURL(M::whisperLargeV3TurboQ8_0),
              "https://huggingface.co/ggerganov/whisper.cpp/resolve/main/ggml-large-v3-turbo-q8_0.bin");
    EXPECT_EQ(SpeechModels::downloadURL(M::whisperSmallQ8_0),
              "https://huggingface.co/ggerganov/whisper.cpp/resolve/main/ggml-small-q8_0.bin");
    EXPECT_EQ(SpeechModels::downloadURL(M::whisperBaseQ5_1),
              "https://huggingface.co/ggerganov/whisper.cpp/resolve/main/ggml-base-q5_1.bin");
    EXPECT_EQ(SpeechModels::vadDownloadURL(),
              "https://huggingface.co/ggml-org/whisper-vad/resolve/main/ggml-silero-v5.1.2.bin");
    EXPECT_EQ(SpeechModels::downloadSizeBytes(M::whisperLargeV3TurboQ5_0), 574'041'195);
}

class SpeechModelTest : public CoreTest {
protected:
    void SetUp() override {
        CoreTest::SetUp();
        QLoggingCategory::setFilterRules(QStringLiteral("app.quillory.quillory.*=false"));
        hosting = std::make_unique<FakeHttpServer>([this](const FakeHttpServer::Request& r) { return answer(r); });
        qputenv("QUILLORY_MODEL_BASE_URL", QStringLiteral("http://127.0.0.1:%1/").arg(hosting->port()).toUtf8());
        for (int i = 0; i < 200'000; ++i) {
            payload.append(char('a' + i % 26));
        }
        answer = [this](const FakeHttpServer::Request&) {
            return FakeHttpServer::Response{200, payload, "application/octet-stream",
                                            hostedDigestHeaders(payload)};
        };
    }
    void TearDown() override {
        qunsetenv("QUILLORY_MODEL_BASE_URL");
        hosting.reset();
        CoreTest::TearDown();
    }

    /// Runs the download with Qt events and virtual time (`virtualStep` per turn of the loop); returns the error message ("" on success).
    QString download(M model, CancellationToken cancel = {}, std::function<void()> during = {},
                     Duration virtualStep = 1ms) {
        bool done = false;
        QString error;
        auto run = [&]() -> Task<> {
            try {
                co_await downloader.download(model, cancel, [&](const QString& f, qint64 r, qint64 t) {
                    progress << QStringLiteral("%1 %2/%3").arg(f).arg(r).arg(t);
                });
            } catch (const SpeechModelError& e) {
                error = e.message();
            } catch (const CancellationError&) {
                error = QStringLiteral("cancelled");
            }
            done = true;
        };
        auto task = run();
        QElapsedTimer real;
        real.start();
        while (!done && real.elapsed() < 30'000) {
            QCoreApplication::processEvents(QEventLoop::AllEvents, 5);
            clock_.advance(virtualStep);
            if (during) {
                during();
            }
        }
        EXPECT_TRUE(done);
        return error;
    }
    static QByteArray content(const QString& p) {
        QFile f(p);
        return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray();
    }
    QStringList leftovers() const {
        return QDir(SpeechModels::modelDirectory()).entryList({QStringLiteral("*.download")}, QDir::Files);
    }

    std::unique_ptr<FakeHttpServer> hosting;
    std::function<FakeHttpServer::Response(const FakeHttpServer::Request&)> answer;
    QByteArray payload;
    SpeechModelDownloader downloader;
    QStringList progress;
};

TEST_F(SpeechModelTest, SelectionIsStoredUnderItsKeyAndFallsBackToTheDefault) {
    EXPECT_EQ(SpeechModels::selectedModel(), M::kotobaWhisperV2Q5_0);
    SpeechModels::setSelectedModel(M::whisperBaseQ5_1);
    EXPECT_EQ(store_->stringValue(QStringLiteral("quillory.speech.model")), QStringLiteral("whisper-base-q5_1"));
    EXPECT_EQ(SpeechModels::selectedModel(), M::whisperBaseQ5_1);
    store_->setString(QStringLiteral("quillory.speech.model"), QStringLiteral("no-such-model"));
    EXPECT_EQ(SpeechModels::selectedModel(), M::kotobaWhisperV2Q5_0);
    EXPECT_EQ(SpeechModels::modelPath(M::whisperBaseQ5_1),
              path(QStringLiteral(".local/share/quillory/SpeechModels/ggml-base-q5_1.bin")));
}

TEST_F(SpeechModelTest, TheLiveTextModelFollowsItsSettingAndComesAlongWithTheModelThatNeedsIt) {
    const auto partialFor = [](M m) { return SpeechModels::partialModelFor(m); };
    EXPECT_EQ(partialFor(M::kotobaWhisperV2Q5_0), M::whisperBaseQ5_1);
    EXPECT_EQ(partialFor(M::whisperLargeV3TurboQ5_0), M::whisperBaseQ5_1);
    EXPECT_EQ(partialFor(M::whisperLargeV3TurboQ8_0), M::whisperBaseQ5_1);
    EXPECT_EQ(partialFor(M::whisperSmallQ8_0), std::nullopt) << "fast enough to write its own";
    EXPECT_EQ(partialFor(M::whisperSmallQ5_1), std::nullopt);
    EXPECT_EQ(partialFor(M::whisperBaseQ5_1), std::nullopt);
    store_->setString(QStringLiteral("quillory.speech.partialModel"), QStringLiteral("off"));
    EXPECT_EQ(partialFor(M::kotobaWhisperV2Q5_0), std::nullopt);
    store_->setString(QStringLiteral("quillory.speech.partialModel"), QStringLiteral("whisper-small-q5_1"));
    EXPECT_EQ(partialFor(M::kotobaWhisperV2Q5_0), M::whisperSmallQ5_1);
    EXPECT_EQ(partialFor(M::whisperSmallQ5_1), std::nullopt) << "a model is never its own second pass";
    store_->setString(QStringLiteral("quillory.speech.partialModel"), QStringLiteral("no-such-model"));
    EXPECT_EQ(partialFor(M::kotobaWhisperV2Q5_0), M::whisperBaseQ5_1);
    store_->setString(QStringLiteral("quillory.speech.partialModel"), QStringLiteral("auto"));

    EXPECT_EQ(download(M::kotobaWhisperV2Q5_0), QString());
    EXPECT_TRUE(SpeechModels::isDownloaded(M::kotobaWhisperV2Q5_0));
    EXPECT_TRUE(SpeechModels::isDownloaded(M::whisperBaseQ5_1));
    ASSERT_EQ(hosting->requests().size(), 3);
    EXPECT_EQ(hosting->requests()[2].path, "/ggerganov/whisper.cpp/resolve/main/ggml-base-q5_1.bin");
    EXPECT_EQ(download(M::whisperLargeV3TurboQ5_0), QString());
    EXPECT_EQ(hosting->requests().size(), 4) << "the live text's model is already there";

    // Deleting the large model leaves the small one, which may be chosen on its own.
    SpeechModelDownloader::remove(M::kotobaWhisperV2Q5_0);
    EXPECT_TRUE(SpeechModels::isDownloaded(M::whisperBaseQ5_1));
}

TEST_F(SpeechModelTest, TheFirstDownloadBringsTheVadModelAndLaterOnesDoNot) {
    EXPECT_EQ(download(M::whisperBaseQ5_1), QString());
    EXPECT_EQ(content(SpeechModels::modelPath(M::whisperBaseQ5_1)), payload);
    EXPECT_EQ(content(SpeechModels::vadPath()), payload);
    ASSERT_EQ(hosting->requests().size(), 2);
    EXPECT_EQ(hosting->requests()[0].path, "/ggml-org/whisper-vad/resolve/main/ggml-silero-v5.1.2.bin");
    EXPECT_EQ(hosting->requests()[1].path, "/ggerganov/whisper.cpp/resolve/main/ggml-base-q5_1.bin");
    ASSERT_FALSE(progress.isEmpty());
    EXPECT_EQ(progress.last(), QStringLiteral("ggml-base-q5_1.bin 200000/200000"));
    EXPECT_TRUE(leftovers().isEmpty());

    EXPECT_EQ(download(M::whisperSmallQ5_1), QString());
    EXPECT_EQ(download(M::whisperSmallQ5_1), QString());
    EXPECT_EQ(hosting->requests().size(), 3) << "only the new model, once";
}

TEST_F(SpeechModelTest, FailedDownloadsLeaveNoFileAndSayWhy) {
    answer = [](const FakeHttpServer::Request&) { return FakeHttpServer::Response{404, "Entry not found"}; };
    EXPECT_EQ(download(M::whisperBaseQ5_1), QStringLiteral("HTTP 404"));
    EXPECT_FALSE(SpeechModels::isDownloaded(M::whisperBaseQ5_1));

    answer = [this](const FakeHttpServer::Request&) {
        FakeHttpServer::Response r{200, payload, "application/octet-stream", hostedDigestHeaders(payload)};
        r.partialBytes = 50'000;
        r.closeAfterPartial = true;
        return r;
    };
    EXPECT_FALSE(download(M::whisperBaseQ5_1).isEmpty());
    EXPECT_FALSE(QFile::exists(SpeechModels::vadPath()));
    EXPECT_FALSE(SpeechModels::isDownloaded(M::whisperBaseQ5_1));
    EXPECT_TRUE(leftovers().isEmpty());
}

TEST_F(SpeechModelTest, ACancelledOrStalledDownloadLeavesNoFile) {
    answer = [this](const FakeHttpServer::Request&) {
        FakeHttpServer::Response r{200, payload, "application/octet-stream", hostedDigestHeaders(payload)};
        r.partialBytes = 50'000; // then the server stalls
        return r;
    };
    CancellationSource source;
    EXPECT_EQ(download(M::whisperBaseQ5_1, source.token(),
                       [&] {
                           if (!progress.isEmpty()) {
                               source.cancel();
                           }
                       }),
              QStringLiteral("cancelled"));
    EXPECT_TRUE(leftovers().isEmpty());
    EXPECT_FALSE(QFile::exists(SpeechModels::vadPath()));

    // Without a cancel the idle limit ends it (virtual time runs on while the server is silent).
    EXPECT_TRUE(download(M::whisperBaseQ5_1, {}, {}, 100ms).startsWith(QStringLiteral("no data received")));
    EXPECT_TRUE(leftovers().isEmpty());
}

TEST_F(SpeechModelTest, DeletingRemovesTheModelAndTheVadModelGoesWithTheLast) {
    ASSERT_EQ(download(M::whisperBaseQ5_1), QString());
    ASSERT_EQ(download(M::whisperSmallQ5_1), QString());
    QFile stale(SpeechModels::modelPath(M::whisperBaseQ5_1) + ".download");
    ASSERT_TRUE(stale.open(QIODevice::WriteOnly));
    stale.close();
    SpeechModelDownloader::remove(M::whisperBaseQ5_1);
    EXPECT_FALSE(SpeechModels::isDownloaded(M::whisperBaseQ5_1));
    EXPECT_FALSE(stale.exists());
    EXPECT_TRUE(QFile::exists(SpeechModels::vadPath()));
    SpeechModelDownloader::remove(M::whisperSmallQ5_1);
    EXPECT_FALSE(QFile::exists(SpeechModels::vadPath()));
    EXPECT_NO_THROW(SpeechModelDownloader::remove(M::whisperSmallQ5_1));
}

} // namespace
} // namespace quillory::testing
