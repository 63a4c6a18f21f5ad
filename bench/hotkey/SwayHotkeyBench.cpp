// Global hotkeys on headless sway (wlroots): the path the app offers there, a compositor binding
// (`bindsym $mod+Shift+d exec quillory toggle`, as the settings' advice says). A key combination
// typed on a virtual keyboard → sway runs `quillory toggle` → the command reaches the running app
// over its socket → the app's toggle callback, here the same socket server with a clock for a
// session. Run on its own it starts a private headless sway for itself (scripts/wayland-session.sh).
#include "HotkeyRounds.h"
#include "ToggleSocket.h"
#include "Strings/StringTables.h"
#include "support/BenchDesktop.h"

#include "Cli/RemoteChannel.h"
#include "Input/wayland/WaylandConnection.h"
#include "Platform/linux/DesktopProbe.h"

#include "virtual-keyboard-unstable-v1-client-protocol.h"

#include <QCoreApplication>
#include <QProcess>

#include <wayland-client.h>
#include <xkbcommon/xkbcommon.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <sys/mman.h>
#include <unistd.h>

using namespace quillory;
using namespace quillory::input;

namespace {

constexpr quint32 kLeftMeta = 125, kLeftShift = 42, kD = 32; // evdev codes
constexpr quint32 kPressed = 1, kReleased = 0, kXkbV1 = 1;

/// A keyboard of its own on the seat, with the full "us" keymap, typing whole chords: sway takes a
/// virtual keyboard's modifiers from its modifiers request, not from the keys.
class ChordKeyboard {
public:
    explicit ChordKeyboard(std::shared_ptr<WaylandConnection> connection) : connection_(std::move(connection)) {}
    ~ChordKeyboard() {
        if (keyboard_) {
            zwp_virtual_keyboard_v1_destroy(keyboard_);
            connection_->flush();
        }
    }

    bool plugIn() {
        if (!connection_->virtualKeyboard() || !connection_->seat()) {
            return false;
        }
        xkb_context* context = xkb_context_new(XKB_CONTEXT_NO_FLAGS);
        const xkb_rule_names us{"evdev", "pc105", "us", "", ""};
        xkb_keymap* keymap = context ? xkb_keymap_new_from_names(context, &us, XKB_KEYMAP_COMPILE_NO_FLAGS) : nullptr;
        char* text = keymap ? xkb_keymap_get_as_string(keymap, XKB_KEYMAP_FORMAT_TEXT_V1) : nullptr;
        if (keymap) {
            logoMask_ = 1u << xkb_keymap_mod_get_index(keymap, XKB_MOD_NAME_LOGO);
            shiftMask_ = 1u << xkb_keymap_mod_get_index(keymap, XKB_MOD_NAME_SHIFT);
            xkb_keymap_unref(keymap);
        }
        if (context) {
            xkb_context_unref(context);
        }
        if (!text) {
            return false;
        }
        const size_t size = std::strlen(text) + 1;
        const int fd = memfd_create("bench-keymap", MFD_CLOEXEC);
        bool written = fd >= 0 && ftruncate(fd, off_t(size)) == 0;
        if (written) {
            void* map = mmap(nullptr, size, PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0);
            written = map != MAP_FAILED;
            if (written) {
                std::memcpy(map, text, size);
                munmap(map, size);
            }
        }
        std::free(text);
        if (written) {
            keyboard_ = zwp_virtual_keyboard_manager_v1_create_virtual_keyboard(connection_->virtualKeyboard(),
                                                                                connection_->seat());
            zwp_virtual_keyboard_v1_keymap(keyboard_, kXkbV1, fd, quint32(size));
        }
        if (fd >= 0) {
            ::close(fd);
        }
        return written && connection_->roundtrip(std::chrono::milliseconds(bench::kHotkeyWaitMs)) &&
               connection_->isAlive();
    }

    /// Logo and Shift down (keys and modifier state), then a tap of `key`: the moment `key` went down.
    std::optional<std::chrono::steady_clock::time_point> chordDown(quint32 key) {
        zwp_virtual_keyboard_v1_key(keyboard_, WaylandConnection::timestamp(), kLeftMeta, kPressed);
        zwp_virtual_keyboard_v1_key(keyboard_, WaylandConnection::timestamp(), kLeftShift, kPressed);
        zwp_virtual_keyboard_v1_modifiers(keyboard_, logoMask_ | shiftMask_, 0, 0, 0);
        if (!connection_->roundtrip(std::chrono::milliseconds(bench::kHotkeyWaitMs))) {
            return std::nullopt;
        }
        const auto sent = std::chrono::steady_clock::now();
        zwp_virtual_keyboard_v1_key(keyboard_, WaylandConnection::timestamp(), key, kPressed);
        if (!connection_->flush()) {
            return std::nullopt;
        }
        // A tap: up at once, so a slow start of the command never meets sway's key repeat.
        zwp_virtual_keyboard_v1_key(keyboard_, WaylandConnection::timestamp(), key, kReleased);
        return connection_->flush() ? std::optional(sent) : std::nullopt;
    }
    /// The modifiers up again and cleared.
    bool chordUp() {
        zwp_virtual_keyboard_v1_modifiers(keyboard_, 0, 0, 0, 0);
        zwp_virtual_keyboard_v1_key(keyboard_, WaylandConnection::timestamp(), kLeftShift, kReleased);
        zwp_virtual_keyboard_v1_key(keyboard_, WaylandConnection::timestamp(), kLeftMeta, kReleased);
        return connection_->roundtrip(std::chrono::milliseconds(bench::kHotkeyWaitMs));
    }

private:
    std::shared_ptr<WaylandConnection> connection_;
    zwp_virtual_keyboard_v1* keyboard_ = nullptr;
    quint32 logoMask_ = 0;
    quint32 shiftMask_ = 0;
};

} // namespace

int main(int argc, char** argv) {
    bench::enterSession(QUILLORY_WAYLAND_SESSION_SCRIPT, argc, argv, {"--no-pulse"});
    quillory::Localization::installAllStrings();
    QCoreApplication app(argc, argv);

    const DesktopBackends choice = platform::currentDesktopBackends();
    if (choice.hotkeys.works()) {
        std::fprintf(stderr, "the app hears keys itself here (%s): no binding needed\n", qPrintable(choice.logLine()));
        return 1;
    }

    bench::CallbackClock toggled;
    const std::unique_ptr<remote::Server> server = bench::listenForToggle(toggled);
    if (!server) {
        return 1;
    }
    const QString socket = remote::socketPath();

    // The binding the settings advise, added as a reload of the user's configuration would.
    QProcess swaymsg;
    swaymsg.start(QStringLiteral("swaymsg"),
                  {QStringLiteral("bindsym Mod4+Shift+d exec QUILLORY_APP_SOCKET=%1 %2 toggle")
                       .arg(socket, QStringLiteral(QUILLORY_EXECUTABLE))});
    if (!swaymsg.waitForFinished(bench::kHotkeyWaitMs) || swaymsg.exitCode() != 0) {
        std::fprintf(stderr, "swaymsg bindsym failed: %s\n", swaymsg.readAll().constData());
        return 1;
    }

    QString why;
    const auto connection = WaylandConnection::open(&why);
    if (!connection) {
        std::fprintf(stderr, "no Wayland connection: %s\n", qPrintable(why));
        return 1;
    }
    ChordKeyboard keyboard(connection);
    if (!keyboard.plugIn()) {
        std::fprintf(stderr, "sway gave no virtual keyboard\n");
        return 1;
    }

    std::printf("Global hotkeys on sway 1.7 (a binding of `quillory toggle`, keys typed on a virtual keyboard):\n");
    const std::vector<double> toggle =
        bench::keyRounds(toggled, [&] { return keyboard.chordDown(kD); }, [&] { return keyboard.chordUp(); });
    bench::printHotkeyRow("sway", "bindsym Mod4+Shift+d exec quillory toggle -> the app's toggle", toggle);
    bench::spinFor(500);
    if (toggled.count != int(toggle.size())) {
        std::printf("note: %d toggles for %zu presses\n", toggled.count, toggle.size());
    }
    return toggle.empty() ? 1 : 0;
}
