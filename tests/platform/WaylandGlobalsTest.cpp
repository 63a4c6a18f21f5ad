// The registry roundtrip against a small Wayland server of our own, and a compositor that never
// answers.
#include "Platform/qt/OverlaySurface.h"
#include "Platform/wayland/WaylandGlobals.h"
#include "support/CoreTest.h"

#include <QTemporaryDir>

#include <gtest/gtest.h>
#include <wayland-server-core.h>

#include <atomic>
#include <sys/socket.h>
#include <sys/un.h>
#include <thread>
#include <unistd.h>

using namespace quillory::platform;

namespace {

const wl_interface kVirtualKeyboard{"zwp_virtual_keyboard_manager_v1", 1, 0, nullptr, 0, nullptr};
const wl_interface kDataControl{"zwlr_data_control_manager_v1", 2, 0, nullptr, 0, nullptr};
const wl_interface kCompositor{"wl_compositor", 4, 0, nullptr, 0, nullptr};
const wl_interface kShm{"wl_shm", 1, 0, nullptr, 0, nullptr};

void bindNothing(wl_client*, void*, uint32_t, uint32_t) {}

/// WAYLAND_DISPLAY and XDG_RUNTIME_DIR pointing into a temporary folder, put back afterwards.
class WaylandGlobals : public quillory::testing::CoreTest {
protected:
    void SetUp() override {
        CoreTest::SetUp();
        for (const char* name : {"WAYLAND_DISPLAY", "WAYLAND_SOCKET", "XDG_RUNTIME_DIR"}) {
            saved_.emplace_back(name, qgetenv(name));
        }
        qunsetenv("WAYLAND_SOCKET");
        qputenv("XDG_RUNTIME_DIR", QFile::encodeName(runtime_.path()));
        qputenv("WAYLAND_DISPLAY", "quillory-test-0");
    }
    void TearDown() override {
        for (const auto& [name, value] : saved_) {
            value.isNull() ? qunsetenv(name) : qputenv(name, value);
        }
        CoreTest::TearDown();
    }
    QTemporaryDir runtime_;
    std::vector<std::pair<const char*, QByteArray>> saved_;
};

TEST_F(WaylandGlobals, TheAdvertisedGlobalsWithTheirVersions) {
    wl_display* server = wl_display_create();
    ASSERT_NE(server, nullptr);
    ASSERT_EQ(wl_display_add_socket(server, "quillory-test-0"), 0);
    wl_global_create(server, &kVirtualKeyboard, 1, nullptr, bindNothing);
    wl_global_create(server, &kDataControl, 2, nullptr, bindNothing);
    std::thread loop([server] { wl_display_run(server); });

    const WaylandGlobalsReport report = probeWaylandGlobals(std::chrono::seconds(30));
    wl_display_terminate(server);
    loop.join();
    wl_display_destroy(server);

    ASSERT_TRUE(report.connected) << report.error.toStdString();
    EXPECT_EQ(report.globals.value("zwp_virtual_keyboard_manager_v1"), 1);
    EXPECT_EQ(report.globals.value("zwlr_data_control_manager_v1"), 2);
}

TEST_F(WaylandGlobals, WithoutLayerShellTheOverlayFallsBackToItsWindowAndSaysWhy) {
    // A compositor with surfaces and shared memory, but no layer-shell (GNOME's mutter).
    wl_display* server = wl_display_create();
    ASSERT_NE(server, nullptr);
    ASSERT_EQ(wl_display_add_socket(server, "quillory-test-0"), 0);
    wl_global_create(server, &kCompositor, 4, nullptr, bindNothing);
    wl_global_create(server, &kShm, 1, nullptr, bindNothing);
    std::thread loop([server] { wl_display_run(server); });

    const quillory::BackendChoice layerShell{quillory::DesktopPaths::layerShell, QStringLiteral("advertised"), {}, nullptr};
    const OverlayPresentation presentation =
        chooseOverlayPresentation(layerShell, [](QString* why) { return openLayerShellSurfaces(why, "quillory-overlay"); });
    wl_display_terminate(server);
    loop.join();
    wl_display_destroy(server);

    EXPECT_FALSE(presentation.surfaces);
    EXPECT_EQ(presentation.choice.path, quillory::DesktopPaths::xwaylandWindow);
    EXPECT_TRUE(presentation.choice.reason.contains("does not advertise zwlr_layer_shell_v1"))
        << presentation.choice.reason.toStdString();

    // No compositor at all: the reason says so.
    QString why;
    EXPECT_FALSE(openLayerShellSurfaces(&why, "quillory-overlay"));
    EXPECT_TRUE(why.contains("no Wayland compositor answers")) << why.toStdString();
}

TEST_F(WaylandGlobals, ACompositorThatNeverAnswersIsAnErrorNotAHang) {
    // A socket that accepts connections into its backlog and never reads them.
    const QByteArray path = QFile::encodeName(runtime_.path() + "/quillory-test-0");
    const int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    std::strncpy(address.sun_path, path.constData(), sizeof address.sun_path - 1);
    ASSERT_EQ(::bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
    ASSERT_EQ(::listen(fd, 4), 0);
    const WaylandGlobalsReport report = probeWaylandGlobals(std::chrono::milliseconds(50));
    ::close(fd);
    EXPECT_FALSE(report.connected);
    EXPECT_TRUE(report.error.contains("did not answer")) << report.error.toStdString();

    // No WAYLAND_DISPLAY: nothing is tried (libwayland would guess "wayland-0").
    qunsetenv("WAYLAND_DISPLAY");
    EXPECT_EQ(probeWaylandGlobals().error, "WAYLAND_DISPLAY is not set");
}

} // namespace
