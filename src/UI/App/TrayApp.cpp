#include "UI/App/TrayApp.h"
#include "UI/Settings/SettingsWidgets.h"

#include "AI/LocalPolishEngine.h"
#include "AI/LocalPolishError.h"
#include "App/AppState.h"
#include "Platform/linux/DesktopServices.h"
#include "Input/x11/X11Connection.h"
#include "Platform/linux/DisplayServer.h"
#include "Runtime/DefaultsStore.h"
#include "Runtime/Localization.h"
#include "UI/App/AppSpeech.h"
#include "UI/App/AppWindows.h"
#include "UI/App/DesktopAppWindows.h"
#include "UI/Settings/AppSettingsBackend.h"
#include "Speech/SpeechModel.h"
#include "Speech/WhisperRecognizer.h"
#include "Permissions/PermissionManager.h"
#include "UI/App/FirstLaunch.h"
#include "UI/App/SignalBridge.h"
#include "UI/Tray/TrayController.h"
#include "UI/Updates/UpdateChecker.h"
#include "UI/Updates/UpdateDialog.h"
#include "Utilities/CommitDiagnostics.h"
#include "Runtime/Log.h"

#include <QApplication>
#include <QMessageBox>
#include <QSessionManager>
#include <QSystemTrayIcon>

#include <cstdio>

namespace quillory::ui {

namespace {
constexpr char kNoTrayNoticeShownKey[] = "quillory.firstLaunch.noTrayNoticeShown";
constexpr int kSettingsAttempts = 60;
constexpr Duration kSettingsInterval = std::chrono::milliseconds(50);

void defaultCleanup() {
    LocalPolishEngine::shared().cleanupResidualServers();
}
} // namespace

TrayApp::TrayApp(AppWindows& windows, SessionControl& session, TrayAppHooks hooks, QObject* parent)
    : QObject(parent), windows_(windows), session_(session), hooks_(std::move(hooks)) {
    if (!hooks_.cleanupInferenceServers) {
        hooks_.cleanupInferenceServers = defaultCleanup;
    }
    if (!hooks_.trayAvailable) {
        hooks_.trayAvailable = [] { return QSystemTrayIcon::isSystemTrayAvailable(); };
    }
}

TrayApp::~TrayApp() = default;

TrayApp::Start TrayApp::start(const QString& socketPath, QString* error) {
    server_ = std::make_unique<remote::Server>(
        [this](const QString& command) {
            return handleRemoteCommand(command, session_, windows_, [this] { emit quitRequested(); });
        });
    switch (server_->listen(socketPath, error)) {
    case remote::Server::Listen::anotherInstance: {
        server_.reset();
        const remote::Reply reply = remote::send(QStringLiteral("settings"), socketPath);
        if (reply.kind == remote::Reply::Kind::ok) {
            return Start::handedOver;
        }
        if (error) *error = QStringLiteral("another Quillory runs but did not answer");
        return Start::failed;
    }
    case remote::Server::Listen::failed:
        server_.reset();
        return Start::failed;
    case remote::Server::Listen::listening:
        break;
    }

    // The launch sequence: the boot line first, so that whatever building the session core logs
    // belongs to this run.
    CommitDiagnostics::recordSessionBoundary();
    if (hooks_.buildSessionCore) hooks_.buildSessionCore();
    windows_.startOverlaySync();
    if (hooks_.refreshOnLaunch) hooks_.refreshOnLaunch();

    tray_ = std::make_unique<TrayController>(windows_);
    updates_ = std::make_unique<UpdateChecker>(compiledFeedUrl(), QCoreApplication::applicationVersion());
    // A build without a feed has no update item at all (rather than a grey one that never works).
    tray_->setUpdateFeed(updates_->hasFeed());
    tray_->setCanCheckForUpdates(updates_->canCheckForUpdates());
    connect(updates_.get(), &UpdateChecker::canCheckForUpdatesChanged, tray_.get(), [this](bool can) {
        tray_->setCanCheckForUpdates(can);
        tray_->setCheckingForUpdates(updates_->checking());
    });
    connect(updates_.get(), &UpdateChecker::finished, this, [this](const UpdateChecker::Result& result) {
        showUpdateResult(result, QCoreApplication::applicationVersion(), windows_.settingsWindow());
    });
    connect(tray_.get(), &TrayController::checkForUpdatesRequested, this, &TrayApp::checkForUpdates);
    connect(tray_.get(), &TrayController::quitRequested, this, &TrayApp::quitRequested);
    connect(tray_.get(), &TrayController::toggleDictationRequested, this, [this] {
        if (session_.available()) session_.toggle();
    });
    connect(tray_.get(), &TrayController::finishSetupRequested, this, [this] { windows_.showSpeechModelSetup(); });
    // Opening the tray menu is how the user turns to a tray app, though no window takes focus.
    connect(tray_.get(), &TrayController::menuAboutToShow, this, &TrayApp::activated);
    if (AppState* state = AppState::shared()) {
        tray_->applyStatus(state->status());
        connect(state, &AppState::statusChanged, this, [this, state] {
            refreshSetupState();
            applyStatus(state->status());
            // A dictation that failed for want of a speech model leads to where one is downloaded.
            const AppStatus status = state->status();
            if (status.is(AppStatus::Kind::error) && tray_ && !tray_->setupIncompleteReason().isEmpty() &&
                status.message() == Localization::text("speech.error.recognizer")) {
                windows_.showSpeechModelSetup();
            }
        });
    }
    refreshSetupState();
    tray_->installIfNeeded();

    if (auto* gui = qobject_cast<QGuiApplication*>(QCoreApplication::instance())) {
        connect(gui, &QGuiApplication::applicationStateChanged, this, [this](Qt::ApplicationState s) {
            if (s == Qt::ApplicationActive) activated();
        });
        // The desktop session is ending: clean up now, the session manager may not wait for us.
        connect(gui, &QGuiApplication::commitDataRequest, this, [this](QSessionManager&) { cleanUpOnQuit(); });
    }
    connect(qApp, &QCoreApplication::aboutToQuit, this, &TrayApp::cleanUpOnQuit);

    handleFirstLaunch(DefaultsStore::standard(), [this] {
        showSettingsWhenReady(windows_, kSettingsAttempts, kSettingsInterval);
    });
    if (!hooks_.trayAvailable()) {
        qCWarning(lcApp, "%s", qUtf8Printable(Localization::text("app.no_tray")));
        // Once: the first start without a tray host says so in a window, with the commands that
        // reach the app.
        DefaultsStore& store = DefaultsStore::standard();
        if (!store.value(QString::fromLatin1(kNoTrayNoticeShownKey)).isValid()) {
            store.setBool(QString::fromLatin1(kNoTrayNoticeShownKey), true);
            showNoTrayNotice();
        }
    }
    updates_->startBackgroundSchedule();
    if (hooks_.loadSpeechModelInBackground) hooks_.loadSpeechModelInBackground();
    return Start::running;
}

void TrayApp::applyStatus(const AppStatus& status) {
    if (tray_) tray_->applyStatus(status);
}

void TrayApp::activated() {
    if (hooks_.refreshOnActivation) hooks_.refreshOnActivation();
    refreshSetupState();
}

void TrayApp::refreshSetupState() {
    if (tray_ && hooks_.setupIncompleteReason) tray_->setSetupIncomplete(hooks_.setupIncompleteReason());
}

QWidget* TrayApp::noTrayNotice() const {
    return noTrayNotice_.data();
}

void TrayApp::showNoTrayNotice() {
    auto* box = new QMessageBox(QMessageBox::Information, Localization::text("app.no_tray.title"),
                                Localization::text("app.no_tray.notice"), QMessageBox::Ok);
    box->setObjectName(QStringLiteral("quilloryNoTrayNotice"));
    box->setAttribute(Qt::WA_DeleteOnClose);
    box->setModal(false);
    box->show();
    noTrayNotice_ = box;
}

void TrayApp::checkForUpdates() {
    if (updates_) updates_->checkForUpdates();
}

void TrayApp::cleanUpOnQuit() {
    if (cleanedUp_) {
        return;
    }
    cleanedUp_ = true;
    try {
        hooks_.cleanupInferenceServers();
    } catch (const LocalPolishError& e) {
        qCCritical(lcInput, "Failed to clean up llama-server on termination: %s", qUtf8Printable(e.localizedDescription()));
    } catch (const std::exception& e) {
        qCCritical(lcInput, "Failed to clean up llama-server on termination: %s", e.what());
    }
    if (server_) server_->close();
}

TrayAppHooks sessionCoreHooks(std::function<AppState*()> buildState) {
    auto state = std::make_shared<AppState*>(nullptr);
    TrayAppHooks hooks;
    hooks.buildSessionCore = [state, buildState = std::move(buildState)] { *state = buildState(); };
    hooks.refreshOnLaunch = [state] {
        if (*state) (*state)->refreshOnLaunch(); // the hotkeys were registered as the state was built
    };
    hooks.refreshOnActivation = [state] {
        if (*state) (*state)->refreshOnActivation();
    };
    return hooks;
}

int runTrayApp(int& argc, char** argv) {
    // The app works through an X display (XWayland on Wayland desktops).
    const auto display = platform::currentDisplayServer();
    QString why;
    if (qEnvironmentVariableIsEmpty("DISPLAY")) {
        why = display.type == platform::SessionType::wayland ? QStringLiteral("a Wayland session without XWayland")
                                                              : QStringLiteral("DISPLAY is not set");
    } else if (!input::X11Connection::open(&why)) {
        // `why` says what failed
    }
    if (!why.isEmpty()) {
        std::fprintf(stderr, "%s\n", qPrintable(Localization::format("app.no_display", why)));
        return 1;
    }
    qputenv("QT_QPA_PLATFORM", "xcb"); // the clipboard, keys and windows must be the X server's
    QApplication app(argc, argv);
    QApplication::setQuitOnLastWindowClosed(false); // a tray app lives on with no window
    applyPreferredUiFont();
    QCoreApplication::setApplicationName(QStringLiteral("quillory"));
    QCoreApplication::setOrganizationName(QStringLiteral("quillory"));
    QCoreApplication::setApplicationVersion(QStringLiteral(QUILLORY_VERSION));

    DesktopAppWindows windows;
    AppStateSessionControl session;
    // The session core over the desktop backends; built only once this process owns the socket,
    // so that a second launch touches no hotkeys, no microphone and no speech model.
    std::unique_ptr<platform::DesktopServices> services;
    std::unique_ptr<AppState> state;
    std::shared_ptr<WhisperRecognizerHost> recognizer;
    TrayApp* trayApp = nullptr;
    TrayAppHooks hooks = sessionCoreHooks([&] {
        services = platform::makeDesktopServices();
        state = std::make_unique<AppState>(services->appStateServices());
        AppState::setShared(state.get());
        // The settings' speech model section reads the catalogue when the window is built.
        setSpeechModelCatalogueForSettings(std::make_shared<AppSpeechModelCatalogue>([&recognizer, &trayApp] {
            if (recognizer) recognizer->preload(); // a model that failed as missing loads now
            if (trayApp) trayApp->refreshSetupState();
        }));
        windows.attach(*state, std::make_unique<AppSettingsBackend>(*state, services->permissions()));
        return state.get();
    });
    hooks.loadSpeechModelInBackground = [&] { recognizer = installAppRecognizer(*services); };
    hooks.setupIncompleteReason = [] { return speechModelSetupReason(); };
    TrayApp tray(windows, session, hooks);
    trayApp = &tray;
    // A download finishes before the settings row makes its model the one in use: the tray's
    // "setup unfinished" ends with that choice (the recogniser preloads on it by itself).
    QObject::connect(&DefaultsStore::standard(), &DefaultsStore::valueChanged, &tray, [&tray](const QString& key) {
        if (key == QLatin1String(SpeechModels::selectedModelKey)) tray.refreshSetupState();
    });
    SignalBridge signalBridge;
    QObject::connect(&signalBridge, &SignalBridge::terminationRequested, &app, [](int) { QCoreApplication::quit(); });
    QObject::connect(&tray, &TrayApp::quitRequested, &app, [] { QCoreApplication::quit(); });

    QString error;
    switch (tray.start(remote::socketPath(), &error)) {
    case TrayApp::Start::handedOver:
        return 0;
    case TrayApp::Start::failed:
        std::fprintf(stderr, "quillory: %s\n", qPrintable(error));
        return 1;
    case TrayApp::Start::running:
        break;
    }
    const int status = app.exec();
    tray.cleanUpOnQuit();
    windows.detach();
    setSpeechModelCatalogueForSettings(nullptr);
    AppState::setShared(nullptr);
    state.reset();
    services.reset();
    recognizer.reset();
    return status;
}

} // namespace quillory::ui
