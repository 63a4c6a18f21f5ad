// The tray app's real windows (settings window and overlay over the application state) and its
// view of the speech model catalogue.
#include "ai/FakeHttpServer.h"
#include "support/HostedFile.h"
#include "ui/settings/SettingsTestSupport.h"

#include "Runtime/Async.h"
#include "Runtime/DefaultsStore.h"
#include "Speech/SpeechModel.h"
#include "UI/App/AppSpeech.h"
#include "UI/App/DesktopAppWindows.h"
#include "UI/Overlay/InputStatusOverlayController.h"
#include "UI/Overlay/OverlayPanel.h"
#include "UI/Settings/SettingsLaunchBridge.h"
#include "UI/Settings/SettingsWindow.h"

#include <QElapsedTimer>
#include <QFile>

using namespace quillory;
using namespace quillory::testing;

namespace {

class AppWindowsTest : public SettingsTest {
protected:
    void TearDown() override {
        SettingsLaunchBridge::openSettings() = nullptr;
        SettingsTest::TearDown();
    }
};

TEST_F(AppWindowsTest, SettingsWindowOpensOnPermissionsTogglesAndIsSharedWithTheLaunchBridge) {
    ui::DesktopAppWindows windows;
    // Before the session core exists there is nothing to show.
    EXPECT_FALSE(windows.settingsReady());
    windows.showSettings();
    EXPECT_EQ(windows.settingsWindow(), nullptr);

    windows.attach(*state, std::move(backend));
    ASSERT_TRUE(windows.settingsReady());
    ui::toggleSettings(windows);
    auto* window = qobject_cast<SettingsWindow*>(windows.settingsWindow());
    ASSERT_NE(window, nullptr);
    EXPECT_TRUE(window->isVisible());
    EXPECT_EQ(window->size(), QSize(420, 560));
    EXPECT_EQ(window->settingsTab(), SettingsTabSelection::permissions);

    // The tray click closes a visible window; the next opening starts on permissions again.
    window->setSettingsTab(SettingsTabSelection::dictionary);
    ui::toggleSettings(windows);
    EXPECT_FALSE(window->isVisible());
    SettingsLaunchBridge::invoke(); // a second launch / `quillory settings`
    EXPECT_EQ(windows.settingsWindow(), window) << "one window, raised again";
    EXPECT_TRUE(window->isVisible());
    EXPECT_EQ(window->settingsTab(), SettingsTabSelection::permissions);

    // Detaching (before the state goes away) destroys the window and unhooks the bridge.
    windows.detach();
    EXPECT_EQ(windows.settingsWindow(), nullptr);
    EXPECT_FALSE(SettingsLaunchBridge::openSettings());
    EXPECT_FALSE(windows.settingsReady());
}

TEST_F(AppWindowsTest, OverlayFollowsTheSessionOnceSyncStarts) {
    ui::DesktopAppWindows windows;
    windows.startOverlaySync(); // nothing to follow yet
    EXPECT_EQ(windows.overlay(), nullptr);
    windows.attach(*state, std::move(backend));
    windows.startOverlaySync();
    windows.startOverlaySync(); // idempotent
    ASSERT_NE(windows.overlay(), nullptr);
    EXPECT_EQ(InputStatusOverlayController::shared(), windows.overlay());
    settle();
    EXPECT_FALSE(windows.overlay()->statusPanel() && windows.overlay()->statusPanel()->isVisible());

    startRecordingByHotkey();
    settle();
    ASSERT_NE(windows.overlay()->statusPanel(), nullptr);
    EXPECT_TRUE(windows.overlay()->statusPanel()->isVisible());
    EXPECT_TRUE(windows.overlay()->overlayLayoutToken().startsWith(QLatin1String("rec-")));
    windows.detach();
    EXPECT_EQ(InputStatusOverlayController::shared(), nullptr);
}

TEST_F(AppWindowsTest, SpeechModelCatalogueAdaptsTheModelFolderAndSelection) {
    const QString folder = path(QStringLiteral("models"));
    qputenv("QUILLORY_SPEECH_MODELS_DIR", folder.toUtf8());
    ASSERT_TRUE(QDir().mkpath(folder));
    ui::AppSpeechModelCatalogue catalogue;

    const auto models = catalogue.models();
    ASSERT_EQ(models.size(), qsizetype(SpeechModels::allCases.size()));
    for (qsizetype i = 0; i < models.size(); ++i) {
        EXPECT_EQ(models[i].id, SpeechModels::id(SpeechModels::allCases[std::size_t(i)]));
        EXPECT_FALSE(models[i].displayName.isEmpty());
        EXPECT_TRUE(models[i].downloadSizeDescription.endsWith(QLatin1String(" MB")));
    }
    EXPECT_EQ(models.last().downloadSizeDescription, QStringLiteral("60 MB")); // 59,707,625 bytes

    const QString base = SpeechModels::id(SpeechModel::whisperBaseQ5_1);
    EXPECT_FALSE(catalogue.isDownloaded(base));
    EXPECT_FALSE(catalogue.isDownloaded(QStringLiteral("no-such-model")));
    QFile file(SpeechModels::modelPath(SpeechModel::whisperBaseQ5_1));
    ASSERT_TRUE(file.open(QIODevice::WriteOnly));
    file.write("ggml");
    file.close();
    EXPECT_TRUE(catalogue.isDownloaded(base));

    EXPECT_EQ(catalogue.selectedId(), SpeechModels::id(SpeechModels::defaultModel));
    catalogue.select(base);
    EXPECT_EQ(catalogue.selectedId(), base);
    EXPECT_EQ(DefaultsStore::standard().stringValue(QStringLiteral("quillory.speech.model")), std::optional<QString>(base));
    catalogue.select(QStringLiteral("no-such-model")); // ignored
    EXPECT_EQ(catalogue.selectedId(), base);

    catalogue.remove(base);
    EXPECT_FALSE(catalogue.isDownloaded(base));
    EXPECT_THROW(catalogue.remove(QStringLiteral("no-such-model")), SpeechModelError);

    // The VAD model: the override, else beside the speech model, else the model folder's.
    const QString speech = SpeechModels::modelPath(SpeechModel::whisperBaseQ5_1);
    EXPECT_EQ(ui::appVadModelPath(speech), SpeechModels::vadPath());
    qputenv("QUILLORY_SPEECH_VAD_MODEL", "/elsewhere/vad.bin");
    EXPECT_EQ(ui::appVadModelPath(speech), QStringLiteral("/elsewhere/vad.bin"));
    qunsetenv("QUILLORY_SPEECH_VAD_MODEL");
    qunsetenv("QUILLORY_SPEECH_MODELS_DIR");
}

TEST_F(AppWindowsTest, DownloadingALargeSpeechModelBringsTheLiveTextModelUnderOneProgressBar) {
    const QString folder = path(QStringLiteral("models"));
    qputenv("QUILLORY_SPEECH_MODELS_DIR", folder.toUtf8());
    QByteArray payload(100'000, 'x');
    FakeHttpServer hosting([&payload](const FakeHttpServer::Request&) {
        return FakeHttpServer::Response{200, payload, "application/octet-stream",
                                        hostedDigestHeaders(payload)};
    });
    qputenv("QUILLORY_MODEL_BASE_URL", QStringLiteral("http://127.0.0.1:%1/").arg(hosting.port()).toUtf8());
    int downloadedCalls = 0;
    ui::AppSpeechModelCatalogue catalogue([&downloadedCalls] { ++downloadedCalls; });
    std::vector<std::pair<qint64, qint64>> seen;
    QElapsedTimer real;
    real.start();
    const auto fetch = [&]() -> Task<bool> {
        co_await catalogue.download(SpeechModels::id(SpeechModel::kotobaWhisperV2Q5_0),
                                    [&seen](qint64 received, qint64 total) { seen.emplace_back(received, total); });
        co_return true;
    };
    runUntilDone(fetch(),
                 [&] {
                     QCoreApplication::processEvents(QEventLoop::AllEvents, 5);
                     clock_.advance(1ms);
                     ASSERT_LT(real.elapsed(), 30'000);
                 });
    EXPECT_TRUE(SpeechModels::isDownloaded(SpeechModel::kotobaWhisperV2Q5_0));
    EXPECT_TRUE(SpeechModels::isDownloaded(SpeechModel::whisperBaseQ5_1));
    EXPECT_EQ(downloadedCalls, 1);
    ASSERT_FALSE(seen.empty());
    for (std::size_t i = 1; i < seen.size(); ++i) {
        EXPECT_GE(seen[i].first, seen[i - 1].first) << "the bar never goes back between the two files";
    }
    EXPECT_EQ(seen.back(), std::make_pair(qint64(200'000), qint64(200'000))) << "both files, once complete";
    qunsetenv("QUILLORY_MODEL_BASE_URL");
    qunsetenv("QUILLORY_SPEECH_MODELS_DIR");
}

} // namespace
