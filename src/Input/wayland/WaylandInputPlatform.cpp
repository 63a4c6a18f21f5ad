#include "Input/wayland/WaylandInputPlatform.h"

#include "Input/atspi/AtspiFocus.h"
#include "Input/wayland/DataControlClipboard.h"
#include "Input/wayland/VirtualKeyboardPoster.h"
#include "Input/wayland/WaylandConnection.h"
#include "Input/x11/TerminalClasses.h"
#include "Runtime/DefaultsStore.h"
#include "Runtime/Log.h"

namespace quillory::input {

namespace {

class ProtocolTrust final : public InjectionTrust {
public:
    explicit ProtocolTrust(std::shared_ptr<WaylandConnection> connection) : connection_(std::move(connection)) {}
    bool isTrusted() const override {
        return connection_ && connection_->isAlive() && connection_->virtualKeyboard() && connection_->dataControl();
    }

private:
    std::shared_ptr<WaylandConnection> connection_;
};

class Untrusted final : public InjectionTrust {
public:
    bool isTrusted() const override { return false; }
};

QString missingProtocols(const WaylandConnection& connection, bool withPasteKey = true) {
    QStringList missing;
    if (!connection.seat()) {
        missing << QStringLiteral("a seat");
    }
    if (!connection.dataControl()) {
        missing << QStringLiteral("wlr-data-control (zwlr_data_control_manager_v1)");
    }
    if (withPasteKey && !connection.virtualKeyboard()) {
        missing << QStringLiteral("virtual-keyboard (zwp_virtual_keyboard_manager_v1)");
    }
    return missing.isEmpty() ? QString()
                             : QStringLiteral("the Wayland compositor lacks %1").arg(missing.join(QStringLiteral(", ")));
}

} // namespace

WaylandProtocolSupport probeWaylandProtocols() {
    WaylandProtocolSupport support;
    if (qEnvironmentVariableIsEmpty("WAYLAND_DISPLAY")) {
        support.why = QStringLiteral("WAYLAND_DISPLAY is not set");
    } else if (const auto connection = WaylandConnection::open(&support.why)) {
        support.connected = true;
        support.dataControl = connection->dataControl() ? connection->dataControlVersion() : 0;
        support.virtualKeyboard = connection->virtualKeyboard() != nullptr;
        support.toplevelList = connection->listsToplevels();
        support.why = missingProtocols(*connection);
    }
    return support;
}

bool waylandInputAvailable(QString* why) {
    const WaylandProtocolSupport support = probeWaylandProtocols();
    if (why) {
        *why = support.why;
    }
    return support.why.isEmpty();
}

LinuxInputPlatform createWaylandInputPlatform(bool withPasteKey) {
    LinuxInputPlatform result;
    result.platform.trust = std::make_shared<Untrusted>();
    result.platform.focus = std::make_shared<AtspiFocusedElementProvider>();
    if (qEnvironmentVariableIsEmpty("WAYLAND_DISPLAY")) {
        result.unavailableReason = QStringLiteral("WAYLAND_DISPLAY is not set");
        return result;
    }
    const auto connection = WaylandConnection::open(&result.unavailableReason);
    if (!connection) {
        return result;
    }
    result.unavailableReason = missingProtocols(*connection, withPasteKey);
    if (!result.unavailableReason.isEmpty()) {
        return result;
    }
    auto clipboard = std::make_shared<DataControlClipboard>(connection);
    if (!clipboard->isUsable()) {
        result.unavailableReason = QStringLiteral("the compositor gave no clipboard device");
        return result;
    }
    result.wayland = connection;
    result.platform.trust = std::make_shared<ProtocolTrust>(connection);
    result.platform.clipboard = clipboard;
    auto primary = std::make_shared<DataControlClipboard>(connection, DataControlClipboard::Selection::primary);
    if (primary->isUsable()) {
        result.platform.primarySelection = primary;
    }
    const bool hasPrimary = primary->isUsable();
    if (!withPasteKey) {
        // The clipboards alone, beside a paste key of another path (KWin: the RemoteDesktop portal).
        result.platform.trust = std::make_shared<Untrusted>();
        qCInfo(lcInput, "Wayland: clipboard through wlr-data-control v%u", connection->dataControlVersion());
        return result;
    }
    // The key for the active window by its app id (XWayland windows: their X11 class), as on X11.
    result.platform.keys = std::make_shared<VirtualKeyboardPoster>(connection, [connection, hasPrimary] {
        const QString appId = connection->activeAppId();
        if (appId.isEmpty()) {
            return PasteKey::ctrlV;
        }
        PasteKey key = TerminalClasses::pasteKeyFor(TerminalClasses::fromStore(DefaultsStore::standard()), appId, appId);
        if (key == PasteKey::shiftInsert && !hasPrimary) {
            key = PasteKey::ctrlShiftV; // without a primary selection to fill, the clipboard's key
        }
        qCDebug(lcInput, "Active window %s: %s", qUtf8Printable(appId), qUtf8Printable(pasteKeyName(key)));
        return key;
    });
    // The virtual keyboard now, not at the first paste: sway gives the focused window a keyboard
    // leave and enter when a keyboard joins the seat, which must not fall between a dictation's
    // start and its paste key.
    if (!result.platform.keys->createEventSource()) {
        result.platform.trust = std::make_shared<Untrusted>();
        result.unavailableReason = QStringLiteral("the compositor refused a virtual keyboard");
        return result;
    }
    qCInfo(lcInput,
           "Wayland: clipboard through wlr-data-control v%u, paste key through virtual-keyboard (%s)",
           connection->dataControlVersion(),
           connection->listsToplevels() ? "terminals by the active window's app id" : "Ctrl+V: no window list");
    return result;
}

} // namespace quillory::input
