#include "Cli/Cli.h"
#include "Hotkey/ModifierKeyMap.h"

#include "AI/LocalPolishEngine.h"
#include "AI/PolishModel.h"
#include "AI/PolishSettings.h"
#include "AI/RemotePolishEngine.h"
#include "Platform/linux/DesktopServices.h"
#include "Hotkey/HotkeyConfig.h"
#include "Permissions/linux/LinuxProbes.h"
#include "Platform/linux/DesktopProbe.h"
#include "Platform/HostCPU.h"
#include "Platform/LoginItem.h"
#include "Platform/SystemDoctor.h"
#include "Platform/linux/DisplayServer.h"
#include "Runtime/DefaultsStore.h"
#include "Speech/RemoteSpeech.h"
#include "Speech/whisper/CpuBackend.h"
#include "Speech/whisper/GpuBackend.h"

#include <QCoreApplication>
#include <QFileInfo>
#include <QStandardPaths>

namespace quillory::cli {

namespace {
/// The configured server (`settings`, spoken to through `api`) with the answer of `ask`; nullopt
/// when the work runs on this computer. `ask` ends within its own time limit or is aborted.
template <typename Check, typename Settings, typename Ask>
std::optional<Doctor::ProbeResults::SpeechServer> probeServer(const Settings& settings, const QString& api, Ask ask) {
    if (!settings.useServer) {
        return std::nullopt;
    }
    Doctor::ProbeResults::SpeechServer s;
    s.address = settings.url.toDisplayString(QUrl::RemoveUserInfo);
    s.api = api;
    s.addressProblem = remoteServerUrlProblem(settings.url, settings.privateConfirmed);
    if (!s.addressProblem.isEmpty()) {
        return s;
    }
    std::optional<Check> check;
    auto task = [](Ask ask, Settings settings, std::optional<Check>& into) -> Task<> {
        into = co_await ask(std::move(settings));
    }(std::move(ask), settings, check);
    while (!check) {
        QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents, 50);
    }
    s.answered = check->answered;
    s.latencyMs = check->latencyMs;
    s.error = check->error;
    return s;
}

/// The recognition server, asked for a short transcription (at most 7 s).
std::optional<Doctor::ProbeResults::SpeechServer> probeSpeechServer() {
    const RemoteSpeechSettings settings = RemoteSpeechSettings::read(DefaultsStore::standard());
    const QString api = settings.api == RemoteSpeechApi::whisperServer
                            ? QStringLiteral("whisper-server /inference")
                            : QStringLiteral("OpenAI-style /v1/audio/transcriptions, model %1").arg(settings.model);
    return probeServer<RemoteServerCheck>(settings, api,
                                          [](RemoteSpeechSettings s) { return checkRemoteServer(std::move(s)); });
}

/// The polish server, asked to polish a short sentence (at most 30 s).
std::optional<Doctor::ProbeResults::SpeechServer> probePolishServer() {
    const RemotePolishSettings settings = RemotePolishSettings::read(DefaultsStore::standard());
    const QString api = settings.api == RemotePolishApi::llamaCompletion ? QStringLiteral("llama-server /completion")
                        : settings.model.isEmpty()
                            ? QStringLiteral("OpenAI-style /v1/chat/completions")
                            : QStringLiteral("OpenAI-style /v1/chat/completions, model %1").arg(settings.model);
    return probeServer<RemotePolishCheck>(settings, api, [](RemotePolishSettings s) {
        return checkRemotePolishServer(std::move(s), PolishSettings::selectedModel(), PolishSettings::prompt());
    });
}

Doctor::ProbeResults probeThisMachine() {
    Doctor::ProbeResults r;
    const platform::DisplayServerInfo display = platform::currentDisplayServer();
    r.displayDescription = platform::describe(display);
    r.sessionType = qEnvironmentVariable("XDG_SESSION_TYPE");
    r.waylandSession = display.waylandSession;
    r.session = display.type == platform::SessionType::x11       ? PermissionProbes::Session::x11
                : display.type == platform::SessionType::wayland ? PermissionProbes::Session::wayland
                                                                 : PermissionProbes::Session::none;
    if (display.type == platform::SessionType::x11) {
        const platform::XExtensionsReport x = platform::probeXExtensions();
        r.xConnected = x.connected;
        if (x.connected) {
            r.xinput2 = x.xinput2;
            r.xtest = x.xtest;
        }
    }
    r.backends = platform::currentDesktopBackends();

    const platform::AccessibilityBusReport bus = platform::probeAccessibilityBus();
    r.accessibilityBusReachable = bus.reachable;
    r.accessibilityBusDetail = bus.detail;

    const platform::PulseReport pulse = platform::probePulse();
    r.audioServerReachable = pulse.reachable;
    r.audioError = pulse.error;
    r.audioServer = QStringLiteral("%1 %2").arg(pulse.serverName, pulse.serverVersion).trimmed();
    r.captureSources = pulse.captureSources;
    r.defaultSource = pulse.defaultSource;
    r.defaultSourceIsMonitor = pulse.monitorSources.contains(pulse.defaultSource);

    if (const Expected<whisper::CpuBackend>& cpu = whisper::ensureCpuBackend()) {
        r.speechCpuVariant = cpu->variant;
        r.speechCpuDetail = cpu->file;
        const whisper::ComputeDevice device = whisper::currentComputeDevice();
        r.speechOnGpu = device.gpu;
        r.speechDevice = device.name;
        r.speechDeviceReason = device.reason;
        r.speechDevicePreference = ComputeDevices::name(ComputeDevices::preference(DefaultsStore::standard()));
    } else {
        r.speechCpuDetail = cpu.error();
    }

    const HotkeyConfig hotkeys = HotkeyStorage::load();
    r.hotkeyDetail = Doctor::describeHotkeys(hotkeys, ModifierKeyStorage::load());
    if (const auto check = Doctor::hotkeyRegistrationCheck()) {
        r.hotkeyRegistered = check(hotkeys);
    }

    r.hostSupportsRuntime = HostCPU::isLocalLlamaRuntimeSupported();
    LocalPolishEngine engine;
    if (const auto runtime = engine.locateRuntime()) {
        r.runtimeExecutable = runtime->executable;
    }
    r.polishEnabled = PolishSettings::isEnabled();
    const PolishModel selected = PolishSettings::selectedModel();
    r.selectedModel = PolishModels::id(selected);
    r.selectedModelDownloadSize = PolishModels::downloadSizeDescription(selected);
    r.selectedModelPresent = engine.isModelDownloaded(selected);
    for (const PolishModel model : PolishModels::allCases) {
        r.modelsPresent += engine.isModelDownloaded(model) ? 1 : 0;
    }

    r.speechServer = probeSpeechServer();
    r.polishServer = probePolishServer();

    r.autostart = XdgAutostartLoginItem().report();
    if (countsAsEnabled(r.autostart.status)) {
        QString program = r.autostart.program;
        if (!program.isEmpty() && !QFileInfo(program).isAbsolute()) {
            program = QStandardPaths::findExecutable(program);
        }
        const QFileInfo info(program);
        r.autostartProgramRuns = !program.isEmpty() && info.isFile() && info.isExecutable();
    }
    return r;
}
} // namespace

int doctorCommand(const Command& self, const QStringList& args, Io& io) {
    const Options options(args, self);
    if (!options.ok()) {
        return usageError(io, options.error());
    }
    if (!options.positional().isEmpty()) {
        return usageError(io, QStringLiteral("doctor takes no arguments"));
    }
    if (!Doctor::hotkeyRegistrationCheck()) {
        // A real registration with the stored keys, undone at once.
        Doctor::setHotkeyRegistrationCheck(&platform::tryHotkeyRegistration);
    }
    const Doctor::ProbeResults results = probeThisMachine();
    const QList<Doctor::Check> checks = Doctor::evaluate(results);
    if (options.has(QStringLiteral("json"))) {
        io.out << QString::fromUtf8(Doctor::formatJson(checks, results.backends));
    } else {
        io.out << Doctor::formatText(checks);
        if (results.backends) {
            io.out << Doctor::formatPaths(*results.backends);
        }
    }
    io.out.flush();
    return Doctor::exitStatus(checks) == 0 ? Ok : Failure;
}

} // namespace quillory::cli
