#pragma once

#include "Input/InputPlatform.h"

#include <chrono>

namespace quillory::input {

/// The core's role name for an AT-SPI role name (as `atspi_role_get_name` spells it): "entry" →
/// "AXTextField"; "text", "paragraph", "document text" → "AXTextArea", except a "text" that
/// is not multi-line (how Qt shows a line edit) → "AXTextField"; "combo box" → "AXComboBox"; "password
/// text" → "AXSecureTextField", which is never text-like; anything else keeps a name no text
/// rule accepts.
QString axRoleForAtspiRole(const QString& atspiRoleName, bool singleLine = false);
/// Whether an element of this AT-SPI role must never be read or written (password fields).
bool isSecretAtspiRole(const QString& atspiRoleName);

/// The focused element of the whole desktop through the accessibility bus (libatspi): the element
/// that last announced gaining focus when it still has it, else a search for the focused
/// descendant of the active window of each application. Every bus call is bounded; with no
/// accessibility bus there is no focused element, quietly. Our own process is never asked (it
/// could not answer while its main thread waits). Main thread only.
class AtspiFocusedElementProvider final : public FocusedElementProvider {
public:
    struct Limits {
        std::chrono::milliseconds callTimeout{250};   ///< each bus call
        std::chrono::milliseconds connectTimeout{1500}; ///< the first connection to the bus
        std::chrono::milliseconds searchBudget{400};  ///< one whole search
        int maxNodes = 4000;
    };

    AtspiFocusedElementProvider();
    explicit AtspiFocusedElementProvider(Limits limits);

    std::shared_ptr<AccessibleElement> focusedElement() override;

    /// True once the accessibility bus answered (connects on first use).
    bool available();
    /// Whether the last answer came from the focus events, without a search.
    bool answeredFromEvents() const { return answeredFromEvents_; }

private:
    Limits limits_;
    bool answeredFromEvents_ = false;
};

} // namespace quillory::input
