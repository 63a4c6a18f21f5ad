#pragma once

#include <QObject>
#include <QString>

#include <chrono>
#include <functional>
#include <memory>
#include <vector>

struct wl_display;
struct wl_registry;
struct wl_seat;
struct zwlr_data_control_manager_v1;
struct zwp_virtual_keyboard_manager_v1;
struct zwlr_foreign_toplevel_manager_v1;
struct org_kde_kwin_fake_input;
struct zwlr_layer_shell_v1;
struct wl_compositor;
struct wl_shm;
class QSocketNotifier;

namespace quillory::input {

/// This process's own connection to the Wayland compositor (WAYLAND_DISPLAY), apart from Qt's, with
/// the globals the input backends use: the first seat, wlr-data-control and virtual-keyboard, and
/// (where the compositor has it) the foreign-toplevel list that says which window is active.
///
/// Events are dispatched on the main thread as they arrive (a socket notifier). Nothing here ever
/// waits for the compositor without a bound: `waitUntil` and `roundtrip` give up after their limit
/// (a frozen compositor then costs that long, once, and is logged), and requests are flushed
/// without blocking. Main thread only.
class WaylandConnection final : public QObject {
    Q_OBJECT
public:
    /// The longest any single exchange with the compositor may take.
    static constexpr std::chrono::milliseconds kReplyLimit{1000};
    /// The limit of the first answer, the list of globals: KWin checks a program that may get its
    /// restricted globals (fake-input) before it lists them, hashing the whole executable twice in
    /// its main thread, which takes over a second for a large binary on a loaded machine.
    static constexpr std::chrono::milliseconds kRegistryLimit{5000};

    /// Which globals a connection binds: the input backends' (seat, data-control,
    /// virtual-keyboard, the window list) or the overlay's surfaces' (seat, compositor, shm,
    /// layer-shell).
    enum class Role { input, surfaces };

    /// Connects to `displayName` (WAYLAND_DISPLAY when empty) and lists the globals; null, with
    /// the reason, when there is no compositor or it does not answer.
    static std::shared_ptr<WaylandConnection> open(QString* why, const QString& displayName = {},
                                                   Role role = Role::input);
    ~WaylandConnection() override;

    wl_display* display() const { return display_; }
    wl_seat* seat() const { return seat_; }
    zwlr_data_control_manager_v1* dataControl() const { return dataControl_; }
    zwp_virtual_keyboard_manager_v1* virtualKeyboard() const { return virtualKeyboard_; }
    /// Whether the compositor advertises KWin's fake-input (v4 or later, which has keyboard keys)
    /// to this connection: KWin shows it only to programs it authorises, and takes it back with
    /// the global's removal.
    bool offersFakeInput() const { return fakeInputName_ != 0 && fakeInputVersion_ >= 4; }
    /// Binds fake-input (once; KWin adds an input device per binding, so it is bound only by the
    /// paste key that uses it); null when it is not offered.
    org_kde_kwin_fake_input* bindFakeInput();
    wl_compositor* compositor() const { return compositor_; }
    wl_shm* shm() const { return shm_; }
    zwlr_layer_shell_v1* layerShell() const { return layerShell_; }
    /// The seat's capabilities as last announced (surfaces role only: wl_seat's capability bits).
    quint32 seatCapabilities() const { return seatCapabilities_; }
    /// The data-control version bound (2 has the primary selection).
    quint32 dataControlVersion() const { return dataControlVersion_; }
    /// Whether the compositor lists its windows (wlr-foreign-toplevel-management).
    bool listsToplevels() const { return toplevelManager_ != nullptr; }
    /// The app id of the active window (the one with the keyboard focus), after taking in what the
    /// compositor has sent; empty when unknown (no window list, or no active window).
    QString activeAppId();

    /// False once the compositor closed the connection or reported a protocol error.
    bool isAlive() const;
    /// Sends what is queued without blocking for long (at most `kReplyLimit` when the socket is full).
    bool flush();
    /// Dispatches events until `done` holds or `limit` has passed; returns `done()`.
    bool waitUntil(const std::function<bool()>& done, std::chrono::milliseconds limit = kReplyLimit);
    /// A round trip: true when the compositor answered within `limit` (every event before the
    /// answer has been dispatched then).
    bool roundtrip(std::chrono::milliseconds limit = kReplyLimit);
    /// Dispatches events already queued, without reading the socket.
    void dispatchPending();
    /// Reads what has arrived on the socket and dispatches it, without waiting.
    void readEvents() { readAndDispatch(0); }

    /// Milliseconds for the time stamps of synthesised events.
    static quint32 timestamp();

private:
    WaylandConnection() = default;
    void readAndDispatch(int timeoutMs);
    void noteFailure(const char* what);

    wl_display* display_ = nullptr;
    wl_registry* registry_ = nullptr;
    wl_seat* seat_ = nullptr;
    zwlr_data_control_manager_v1* dataControl_ = nullptr;
    zwp_virtual_keyboard_manager_v1* virtualKeyboard_ = nullptr;
    quint32 dataControlVersion_ = 0;
    quint32 fakeInputName_ = 0;
    quint32 fakeInputVersion_ = 0;
    org_kde_kwin_fake_input* fakeInput_ = nullptr;
    Role role_ = Role::input;
    wl_compositor* compositor_ = nullptr;
    wl_shm* shm_ = nullptr;
    zwlr_layer_shell_v1* layerShell_ = nullptr;
    quint32 seatCapabilities_ = 0;
    zwlr_foreign_toplevel_manager_v1* toplevelManager_ = nullptr;
    struct Toplevel;
    std::vector<std::unique_ptr<Toplevel>> toplevels_;
    QSocketNotifier* notifier_ = nullptr;
    bool failureLogged_ = false;

    friend struct RegistryListener;
};

} // namespace quillory::input
