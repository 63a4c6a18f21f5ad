// The overlay's layer surface on headless sway (scripts/wayland-session.sh), clicked the way a user
// clicks it: a virtual pointer on the seat (wlr-virtual-pointer; the headless seat has no pointer of
// its own) moves onto a button of the panel and presses it, while a native Wayland field has the
// keyboard. The button gets the click once, the field never loses the keyboard, and a paste
// afterwards lands in it.
#include "Input/wayland/WaylandConnection.h"
#include "Platform/linux/DesktopProbe.h"

#include "OverlayClickSupport.h"
#include "WaylandTestSupport.h"

#include "wlr-virtual-pointer-unstable-v1-client-protocol.h"

#include <QElapsedTimer>

#include <gmock/gmock.h>

#include <cstring>
#include <linux/input-event-codes.h>
#include <wayland-client.h>

// The protocol's code wayland-scanner generates (this test is its only user), compiled as C++ as
// the input backends' protocols are.
#pragma GCC diagnostic ignored "-Wmissing-field-initializers"
#include "wlr-virtual-pointer-unstable-v1-protocol.c"

using namespace quillory;
using quillory::input::WaylandConnection;

namespace {

constexpr int kWaitMs = quillory::test::kDesktopWaitMs;
/// The session's one output (scripts/wayland-session.sh), at the origin of sway's layout.
constexpr QSize kOutput{1280, 800};

bool waitFor(const std::function<bool()>& done, int timeoutMs = kWaitMs) {
    return quillory::test::pollUntil(done, timeoutMs);
}
/// Lets `ms` pass with the event loop turning (what arrives late, arrives meanwhile).
void settle(int ms) {
    QElapsedTimer timer;
    timer.start();
    (void)waitFor([&] { return timer.elapsed() > ms; });
}

/// A pointer plugged into the seat through wlr-virtual-pointer, on a connection of its own.
class VirtualPointer {
public:
    VirtualPointer() {
        QString why;
        connection_ = WaylandConnection::open(&why);
        if (!connection_) {
            error_ = why;
            return;
        }
        registry_ = wl_display_get_registry(connection_->display());
        wl_registry_add_listener(registry_, &kRegistryListener, this);
        if (!connection_->roundtrip() || !manager_) {
            error_ = QStringLiteral("the compositor does not advertise zwlr_virtual_pointer_manager_v1");
            return;
        }
        pointer_ = zwlr_virtual_pointer_manager_v1_create_virtual_pointer(manager_, connection_->seat());
        if (!connection_->roundtrip()) {
            error_ = QStringLiteral("the compositor did not answer the virtual pointer's creation");
        }
    }
    ~VirtualPointer() {
        if (pointer_)
            zwlr_virtual_pointer_v1_destroy(pointer_);
        if (manager_)
            zwlr_virtual_pointer_manager_v1_destroy(manager_);
        if (registry_)
            wl_registry_destroy(registry_);
        if (connection_)
            (void)connection_->roundtrip();
    }
    /// Empty once the pointer is on the seat.
    QString error() const { return error_; }

    /// Moves to `at`, in the output's coordinates.
    bool moveTo(QPoint at) {
        zwlr_virtual_pointer_v1_motion_absolute(pointer_, WaylandConnection::timestamp(), quint32(at.x()),
                                                quint32(at.y()), quint32(kOutput.width()),
                                                quint32(kOutput.height()));
        zwlr_virtual_pointer_v1_frame(pointer_);
        return connection_->roundtrip();
    }
    /// A left click: press, release.
    bool click() {
        for (auto state : {WL_POINTER_BUTTON_STATE_PRESSED, WL_POINTER_BUTTON_STATE_RELEASED}) {
            zwlr_virtual_pointer_v1_button(pointer_, WaylandConnection::timestamp(), BTN_LEFT, state);
            zwlr_virtual_pointer_v1_frame(pointer_);
        }
        return connection_->roundtrip();
    }

private:
    static void global(void* data, wl_registry* registry, uint32_t name, const char* interface, uint32_t) {
        auto* self = static_cast<VirtualPointer*>(data);
        if (std::strcmp(interface, zwlr_virtual_pointer_manager_v1_interface.name) == 0 && !self->manager_) {
            self->manager_ = static_cast<zwlr_virtual_pointer_manager_v1*>(
                wl_registry_bind(registry, name, &zwlr_virtual_pointer_manager_v1_interface, 1));
        }
    }
    static void globalRemove(void*, wl_registry*, uint32_t) {}
    static constexpr wl_registry_listener kRegistryListener{&global, &globalRemove};

    std::shared_ptr<WaylandConnection> connection_;
    wl_registry* registry_ = nullptr;
    zwlr_virtual_pointer_manager_v1* manager_ = nullptr;
    zwlr_virtual_pointer_v1* pointer_ = nullptr;
    QString error_;
};

// sway focuses what the pointer enters (focus_follows_mouse) and what is clicked; a layer surface
// without keyboard interactivity must get neither the keyboard on hover nor on the click.
TEST(WaylandOverlay, AClickOnItsLayerSurfaceReachesTheButtonOnceAndTheFieldKeepsTheKeyboard) {
    quillory::test::WaylandTarget target(QStringLiteral(QUILLORY_INPUT_TARGET_WINDOW),
                                         {QStringLiteral("-platform"), QStringLiteral("wayland")}, {});
    ASSERT_TRUE(target.waitReady()) << "the field never got the keyboard:\n" << target.transcript();

    // Plugged in before the overlay opens, as a user's mouse is.
    VirtualPointer pointer;
    ASSERT_TRUE(pointer.error().isEmpty()) << pointer.error().toStdString();

    // sway is no KWin, though it lists KWin's server-decoration manager: the overlay keeps its name.
    const QString layerNamespace = platform::currentDesktopBackends().overlayLayerNamespace;
    EXPECT_EQ(layerNamespace, QStringLiteral("quillory-overlay"));
    QString why;
    auto surfaces = platform::openLayerShellSurfaces(&why, layerNamespace);
    ASSERT_TRUE(surfaces) << why.toStdString();
    quillory::test::OverlayClickPanel panel(*surfaces);
    ASSERT_TRUE(waitFor([&] { return panel.isMapped(); })) << "sway did not map the layer surface";

    const QPoint centre = panel.buttonCentre();
    ASSERT_TRUE(pointer.moveTo(centre));
    settle(1000);
    EXPECT_EQ(target.focusLosses(), 0) << "the pointer on the surface took the keyboard:\n"
                                       << target.transcript();
    EXPECT_EQ(panel.clicks(), 0) << "hovering clicked";

    ASSERT_TRUE(pointer.click());
    EXPECT_TRUE(waitFor([&] { return panel.clicks() > 0; })) << "the click never reached the button";
    settle(1000);
    EXPECT_EQ(panel.clicks(), 1);
    EXPECT_EQ(target.focusLosses(), 0) << "the click took the field's keyboard:\n" << target.transcript();
    // What the user does next (an undo, a new dictation) pastes into the field, not nowhere.
    quillory::test::expectQuilloryPasteLandsOnce(QStringLiteral(QUILLORY_EXECUTABLE), target);
}

} // namespace

// Runs only inside scripts/wayland-session.sh: the test takes over the clipboard of the compositor
// it finds.
int main(int argc, char** argv) {
    return quillory::test::runOverlayClickTests(argc, argv, "sway", "scripts/wayland-session.sh");
}
