#include "Input/x11/LinuxInputPlatform.h"

#include "Input/atspi/AtspiFocus.h"
#include "Input/gnome/MutterRemoteDesktop.h"
#include "Input/kde/FakeInputKeyPoster.h"
#include "Input/wayland/WaylandInputPlatform.h"
#include "Input/x11/ActiveWindow.h"
#include "Input/x11/QtClipboard.h"
#include "Input/x11/TerminalClasses.h"
#include "Input/x11/X11Connection.h"
#include "Input/x11/XTestKeyPoster.h"
#include "Input/uinput/UinputKeyPoster.h"
#include "Input/portal/RemoteDesktopKeyPoster.h"
#include "Platform/linux/DesktopProbe.h"
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

/// A paste path chosen for this desktop whose backends were made.
class ChosenPathTrust final : public InjectionTrust {
public:
    bool isTrusted() const override { return true; }
};

/// The X11 clipboard through Qt, served by our own X connection (XWayland under Wayland).
std::shared_ptr<Clipboard> x11Clipboard(LinuxInputPlatform& result, QString* why) {
    if (!result.connection && !(result.connection = X11Connection::open(why))) {
        return nullptr;
    }
    if (!qGuiApp || QGuiApplication::platformName() != QLatin1String("xcb")) {
        *why = QStringLiteral("the clipboard is not the X11 one");
        return nullptr;
    }
    return std::make_shared<QtClipboard>(QClipboard::Clipboard, result.connection);
}

/// The backends of a Wayland session, as the desktop choice says: XTest through XWayland never
/// pastes here (it reaches X11 windows only).
LinuxInputPlatform createWaylandSessionPlatform(const DesktopBackends& choice, const LinuxInputFactories& factories) {
    const bool wantsProtocols =
        choice.clipboard.path == DesktopPaths::dataControl || choice.paste.path == DesktopPaths::virtualKeyboard;
    LinuxInputPlatform protocols;
    if (wantsProtocols && factories.protocols) {
        protocols = factories.protocols(choice.paste.path == DesktopPaths::virtualKeyboard);
        if (choice.paste.path == DesktopPaths::virtualKeyboard && protocols.unavailableReason.isEmpty()) {
            // The wlroots backends whole: their paste key, clipboard, primary selection and trust.
            protocols.backends = choice;
            return protocols;
        }
    } else if (wantsProtocols) {
        protocols.unavailableReason = QStringLiteral("this program has no wlroots-protocol backends");
    }

    LinuxInputPlatform result;
    result.platform.trust = std::make_shared<Untrusted>();
    result.platform.focus = std::make_shared<AtspiFocusedElementProvider>();
    result.backends = choice;

    // One session of GNOME's remote desktop serves both paste key and clipboard.
    std::shared_ptr<MutterRemoteDesktop> mutter;
    QString mutterWhy;
    if (choice.clipboard.path == DesktopPaths::mutterRemoteDesktop ||
        choice.paste.path == DesktopPaths::mutterRemoteDesktop) {
        mutter = factories.mutter ? factories.mutter(&mutterWhy) : nullptr;
        if (!factories.mutter) {
            mutterWhy = QStringLiteral("this program has no backend for GNOME's remote desktop");
        }
    }

    QString clipboardWhy;
    std::shared_ptr<Clipboard> clipboard;
    if (choice.clipboard.path == DesktopPaths::mutterRemoteDesktop) {
        clipboard = mutter;
        clipboardWhy = mutterWhy;
    } else if (choice.clipboard.path == DesktopPaths::dataControl) {
        if (protocols.unavailableReason.isEmpty() && protocols.platform.clipboard) {
            clipboard = protocols.platform.clipboard;
            result.wayland = protocols.wayland;
        } else {
            clipboardWhy = protocols.unavailableReason;
        }
    } else if (choice.clipboard.path == DesktopPaths::xwaylandBridge) {
        clipboard = x11Clipboard(result, &clipboardWhy);
    } else {
        clipboardWhy = choice.clipboard.reason;
    }

    QString keysWhy;
    std::shared_ptr<KeyEventPoster> keys;
    const auto makeKeys = [&](const QString& path, QString* why) -> std::shared_ptr<KeyEventPoster> {
        if (path == DesktopPaths::mutterRemoteDesktop) {
            *why = mutterWhy;
            return mutter;
        }
        if (path == DesktopPaths::virtualKeyboard) {
            *why = protocols.unavailableReason;
            return nullptr;
        }
        if (path == DesktopPaths::uinput && factories.uinput) {
            return factories.uinput(why);
        }
        if (path == DesktopPaths::remoteDesktopPortal && factories.remoteDesktop) {
            return factories.remoteDesktop(why);
        }
        if (path == DesktopPaths::kdeFakeInput && factories.kdeFakeInput) {
            if (!protocols.unavailableReason.isEmpty()) {
                *why = protocols.unavailableReason;
                return nullptr;
            }
            return factories.kdeFakeInput(protocols.wayland, why);
        }
        *why = QStringLiteral("no backend for %1").arg(path);
        return nullptr;
    };
    if (choice.paste.works()) {
        keys = makeKeys(choice.paste.path, &keysWhy);
        if (!keys && choice.paste.path == DesktopPaths::kdeFakeInput && !choice.pasteFallback.isEmpty()) {
            // KWin offered fake-input when the desktop was measured but not on this connection (a
            // desktop entry changed since): the next path it offers, never a key that goes
            // nowhere. (Other paths fail as they are: a second consent dialog is worse.)
            QString fallbackWhy;
            keys = makeKeys(choice.pasteFallback, &fallbackWhy);
            qCWarning(lcInput, "Paste key %s cannot be used (%s): %s", qUtf8Printable(choice.paste.path),
                      qUtf8Printable(keysWhy),
                      keys ? qUtf8Printable(QStringLiteral("using %1").arg(choice.pasteFallback))
                           : qUtf8Printable(QStringLiteral("%1 neither (%2)").arg(choice.pasteFallback, fallbackWhy)));
            if (keys) {
                result.backends->paste.path = choice.pasteFallback;
                result.backends->paste.reason =
                    QStringLiteral("%1 cannot be used (%2)").arg(choice.paste.path, keysWhy);
            }
        }
    } else {
        keysWhy = choice.paste.reason;
    }

    if (!keys) {
        result.unavailableReason = QStringLiteral("no paste key reaches Wayland apps here: %1").arg(keysWhy);
    } else if (!clipboard) {
        result.unavailableReason = QStringLiteral("no clipboard reaches Wayland apps here: %1").arg(clipboardWhy);
    }
    if (!result.unavailableReason.isEmpty()) {
        const QString fix = choice.paste.works() ? QString() : choice.paste.fix();
        qCWarning(lcInput, "Text insertion is unavailable: %s%s%s", qUtf8Printable(result.unavailableReason),
                  fix.isEmpty() ? "" : ". ", qUtf8Printable(fix));
        // The words can still be left where the user can paste them.
        if (clipboard && choice.clipboard.works()) {
            result.platform.fallbackClipboard = clipboard;
        }
        return result;
    }
    result.platform.trust = std::make_shared<ChosenPathTrust>();
    result.platform.clipboard = clipboard;
    result.platform.keys = keys;
    qCInfo(lcInput, "Text insertion: paste key %s, clipboard %s", qUtf8Printable(result.backends->paste.path),
           qUtf8Printable(choice.clipboard.path));
    return result;
}

} // namespace

LinuxInputFactories LinuxInputFactories::thisBuild() {
    LinuxInputFactories f;
    f.protocols = [](bool withPasteKey) { return createWaylandInputPlatform(withPasteKey); };
    f.uinput = [](QString* reason) { return makeUinputKeyPoster(reason); };
    f.kdeFakeInput = [](std::shared_ptr<WaylandConnection> connection, QString* reason) {
        return makeFakeInputKeyPoster(std::move(connection), reason);
    };
    f.remoteDesktop = [](QString*) -> std::shared_ptr<KeyEventPoster> {
        auto poster = std::make_shared<RemoteDesktopKeyPoster>(RemoteDesktopKeyPoster::Options{});
        poster->open();
        return poster;
    };
    f.mutter = [](QString* reason) -> std::shared_ptr<MutterRemoteDesktop> {
        auto session = std::make_shared<MutterRemoteDesktop>(makeMutterSessionBus());
        // Opened now, so the compositor has the session's keyboard by the first paste.
        if (!session->ensureOpen()) {
            *reason = session->lastError();
            return nullptr;
        }
        return session;
    };
    return f;
}

LinuxInputPlatform createLinuxInputPlatform(const DesktopBackends& choice, const LinuxInputFactories& factories) {
    return createWaylandSessionPlatform(choice, factories);
}

LinuxInputPlatform createLinuxInputPlatform() {
    LinuxInputPlatform result;
    result.platform.trust = std::make_shared<Untrusted>();
    result.platform.focus = std::make_shared<AtspiFocusedElementProvider>();

    const platform::DisplayServerInfo server = platform::currentDisplayServer();
    if (server.waylandSession) {
        return createWaylandSessionPlatform(platform::currentDesktopBackends(), LinuxInputFactories::thisBuild());
    }
    if (server.type != platform::SessionType::x11) {
        result.unavailableReason = QStringLiteral("no display");
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
