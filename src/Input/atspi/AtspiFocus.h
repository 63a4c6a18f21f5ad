#pragma once

#include "Input/InputPlatform.h"

#include <QString>

#include <chrono>
#include <memory>

namespace quillory::input {

/// The core's role name for an AT-SPI role name (as AT-SPI spells it): "entry" →
/// "AXTextField"; "text", "paragraph", "document text" → "AXTextArea", except a "text" that
/// is not multi-line (how Qt shows a line edit) → "AXTextField"; "combo box" → "AXComboBox"; "password
/// text" → "AXSecureTextField", which is never text-like; anything else keeps a name no text
/// rule accepts.
QString axRoleForAtspiRole(const QString& atspiRoleName, bool singleLine = false);
/// Whether an element of this AT-SPI role must never be read or written (password fields).
bool isSecretAtspiRole(const QString& atspiRoleName);
/// The AT-SPI name of a role number as the bus reports it ("entry", "password text", ...); the
/// roles no rule here cares about are named "role N".
QString atspiRoleName(uint role);

/// The focused element of the whole desktop, asked over the accessibility bus with Qt's D-Bus on
/// a connection of its own (Qt's D-Bus thread does the talking; no GLib main loop and no nested
/// dispatch of bus messages on the caller's thread): the element that last announced gaining
/// focus when it still has it, else a search for the focused descendant of the active window of
/// each application. One read waits on the bus at most `Limits::bound`, connecting included, and
/// gives "no element" when the bus or an application does not answer in time; with no
/// accessibility bus there is no focused element, quietly. Our own process is never asked (it
/// could not answer while its main thread waits). Main thread only.
class AtspiFocusedElementProvider final : public FocusedElementProvider {
public:
    struct Limits {
        /// The longest one read of the focused element waits on the bus, connecting included.
        std::chrono::milliseconds bound{250};
        /// The most elements one search visits.
        int maxNodes = 4000;
        /// The accessibility bus; empty: AT_SPI_BUS_ADDRESS, else the bus the session bus names.
        QString busAddress;
        /// After a failed connection, the next attempt waits this long.
        std::chrono::seconds retryAfter{30};
    };

    AtspiFocusedElementProvider();
    explicit AtspiFocusedElementProvider(Limits limits);
    ~AtspiFocusedElementProvider() override;

    std::shared_ptr<AccessibleElement> focusedElement() override;

    /// True once the accessibility bus is connected (connects on first use, within the bound).
    bool available();
    /// Whether the last answer came from the focus events, without a search.
    bool answeredFromEvents() const;

    struct State;

private:
    std::shared_ptr<State> state_;
};

} // namespace quillory::input
