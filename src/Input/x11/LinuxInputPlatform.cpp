#include "Input/x11/LinuxInputPlatform.h"

#include "Input/atspi/AtspiFocus.h"
#include "Input/x11/ActiveWindow.h"
#include "Input/x11/QtClipboard.h"
#include "Input/x11/TerminalClasses.h"
#include "Input/x11/X11Connection.h"
#include "Input/x11/XTestKeyPoster.h"
#include "Platform/linux/DisplayServer.h"
#include "Runtime/DefaultsStore.h"
#include "Runtime/Log.h"

#include <QGuiApplication>

namespace quillory::input {

namespace {

class XTestTrust final : public InjectionTrust {
public:
    explicit XTestTrust(std::shared_ptr<X11Connection> connection) : connection_(std::move(connection)) {}
    bool isTrusted() const override { return connection_ && connection_->hasXTest(); }

private:
    std::shared_ptr<X11Connection> connection_;
};

class Untrusted final : public InjectionTrust {
public:
    bool isTrusted() const override { return false; }
};

} // namespace

LinuxInputPlatform createLinuxInputPlatform() {
    LinuxInputPlatform result;
    result.platform.trust = std::make_shared<Untrusted>();
    result.platform.focus = std::make_shared<AtspiFocusedElementProvider>();

    const platform::DisplayServerInfo server = platform::currentDisplayServer();
    if (server.type != platform::SessionType::x11) {
        result.unavailableReason = server.type == platform::SessionType::wayland
                                       ? QStringLiteral("a Wayland session without an X display")
                                       : QStringLiteral("no display");
    } else if (!(result.connection = X11Connection::open(&result.unavailableReason))) {
        // the reason is set
    } else if (!result.connection->hasXTest()) {
        result.unavailableReason = QStringLiteral("the X server has no XTEST extension");
    } else if (!qGuiApp || QGuiApplication::platformName() != QLatin1String("xcb")) {
        result.unavailableReason = QStringLiteral("the clipboard is not the X11 one");
    }
    if (!result.unavailableReason.isEmpty()) {
        qCWarning(lcInput, "Text insertion is unavailable: %s", qUtf8Printable(result.unavailableReason));
        return result;
    }
    if (server.waylandSession) {
        qCWarning(lcInput, "Wayland session: text is pasted into X11 (XWayland) windows only");
    }

    auto connection = result.connection;
    result.platform.trust = std::make_shared<XTestTrust>(connection);
    result.platform.clipboard = std::make_shared<QtClipboard>(QClipboard::Clipboard, connection);
    result.platform.primarySelection = std::make_shared<QtClipboard>(QClipboard::Selection, connection);
    result.platform.keys = std::make_shared<XTestKeyPoster>(connection, [connection] {
        const std::optional<WindowClass> window = activeWindowClass(*connection);
        if (!window) {
            return PasteKey::ctrlV;
        }
        const PasteKey key = TerminalClasses::pasteKeyFor(TerminalClasses::fromStore(DefaultsStore::standard()),
                                                          window->instanceName, window->className);
        qCDebug(lcInput, "Focused window class %s/%s: %s", qUtf8Printable(window->instanceName),
                qUtf8Printable(window->className), qUtf8Printable(pasteKeyName(key)));
        return key;
    });
    return result;
}

} // namespace quillory::input
