#include "Cli/Cli.h"

#include "Hotkey/GlobalHotKeyManager.h"
#include "Hotkey/HotkeyConfig.h"
#include "Hotkey/ModifierKeyMap.h"
#include "Hotkey/x11/X11HotkeyBackend.h"
#include "Platform/linux/DisplayServer.h"
#include "Runtime/Localization.h"

#include <QCoreApplication>
#include <QJsonArray>
#include <QJsonDocument>
#include <QSocketNotifier>

#include <chrono>
#include <csignal>
#include <memory>
#include <unistd.h>

namespace quillory::cli {

namespace {

int g_quitPipe[2] = {-1, -1};

void onQuitSignal(int) {
    const char byte = 1;
    [[maybe_unused]] const auto n = ::write(g_quitPipe[1], &byte, 1);
}

/// While alive, SIGINT and SIGTERM end the event loop with status 0.
class QuitOnSignal {
public:
    QuitOnSignal() {
        if (::pipe(g_quitPipe) != 0) {
            return;
        }
        notifier_ = std::make_unique<QSocketNotifier>(g_quitPipe[0], QSocketNotifier::Read);
        QObject::connect(notifier_.get(), &QSocketNotifier::activated, notifier_.get(), [] {
            char byte;
            [[maybe_unused]] const auto n = ::read(g_quitPipe[0], &byte, 1);
            QCoreApplication::exit(0);
        });
        struct sigaction action {};
        action.sa_handler = onQuitSignal;
        sigemptyset(&action.sa_mask);
        sigaction(SIGINT, &action, &oldInt_);
        sigaction(SIGTERM, &action, &oldTerm_);
        installed_ = true;
    }
    ~QuitOnSignal() {
        if (installed_) {
            sigaction(SIGINT, &oldInt_, nullptr);
            sigaction(SIGTERM, &oldTerm_, nullptr);
            notifier_.reset();
            ::close(g_quitPipe[0]);
            ::close(g_quitPipe[1]);
        }
    }

private:
    std::unique_ptr<QSocketNotifier> notifier_;
    struct sigaction oldInt_ {};
    struct sigaction oldTerm_ {};
    bool installed_ = false;
};

/// "Command: RCTL (Right Ctrl); Option: LALT (Left Alt), ...; fn: RTSH (Right Shift)".
QString describeKeys(const ModifierKeyMap& keys) {
    const auto names = [&keys](std::initializer_list<std::uint16_t> virtualKeys) {
        QStringList out;
        for (auto vk : virtualKeys) {
            for (int k : keys.keysFor(vk)) {
                out << ModifierKeyMap::describeKey(k);
            }
        }
        return out.isEmpty() ? QStringLiteral("-") : out.join(QStringLiteral(", "));
    };
    return QStringLiteral("Command: %1; Option: %2; fn: %3")
        .arg(names({HotkeyKeys::leftCommand, HotkeyKeys::rightCommand}),
             names({HotkeyKeys::leftOption, HotkeyKeys::rightOption}), names({HotkeyKeys::fn}));
}

int show(Io& io) {
    const HotkeyConfig config = HotkeyStorage::load();
    QJsonObject o = config.toJson();
    o.insert(QStringLiteral("needsFlagsChangedTap"), config.needsModifierMonitor());
    o.insert(QStringLiteral("needsCarbonToggleHotKey"), config.needsHotKeyGrab());
    o.insert(QStringLiteral("modifierKeys"), ModifierKeyStorage::load().toJson());
    io.out << QString::fromUtf8(QJsonDocument(o).toJson(QJsonDocument::Compact)) << '\n';
    return Ok;
}

int monitor(Io& io) {
    const platform::DisplayServerInfo display = platform::currentDisplayServer();
    if (display.type != platform::SessionType::x11 && !display.waylandSession) {
        return failure(io, L("hotkey.cli.no_display"));
    }
    const HotkeyConfig config = HotkeyStorage::load();
    const ModifierKeyMap keys = ModifierKeyStorage::load();
    QString error;
    auto backend = platform::openHotkeyBackend(keys, &error);
    if (!backend) {
        return failure(io, Localization::format("hotkey.cli.connect_failed", error));
    }
    if (!config.needsModifierMonitor() && !config.needsHotKeyGrab()) {
        io.out << L("hotkey.cli.nothing_needed") << Qt::endl;
        return Ok;
    }

    QuitOnSignal quit;
    const auto line = [&io](const char* what) {
        const auto now = std::chrono::duration_cast<std::chrono::milliseconds>(
            std::chrono::steady_clock::now().time_since_epoch());
        io.out << now.count() << ' ' << what << Qt::endl;
    };
    GlobalHotKeyManager manager(backend->platform());
    const bool registered = manager.update(
        config, [&] { line("toggle"); }, [&] { line("press"); }, [&] { line("release"); });
    if (!registered) {
        return failure(io, L("hotkey.cli.register_failed"));
    }
    io.err << Localization::format("hotkey.cli.listening", describeKeys(keys)) << Qt::endl;
    QCoreApplication::exec();
    manager.unregisterAll();
    return Ok;
}

} // namespace

int hotkeyCommand(const Command& self, const QStringList& args, Io& io) {
    if (args == QStringList{QStringLiteral("show")}) {
        return show(io);
    }
    if (args == QStringList{QStringLiteral("monitor")}) {
        return monitor(io);
    }
    return usageError(io, self);
}

} // namespace quillory::cli
