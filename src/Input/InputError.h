#pragma once

#include "Runtime/Localization.h"

#include <stdexcept>

namespace quillory {

/// Why a text could not be inserted.
class InputError : public std::runtime_error {
public:
    enum class Kind {
        accessibilityNotTrusted,
        injectionFailed,
        /// No paste key reaches the focused app here; the words were left on the clipboard.
        leftOnClipboard,
    };

    explicit InputError(Kind kind) : std::runtime_error(key(kind)), kind_(kind) {}
    static InputError accessibilityNotTrusted() { return InputError(Kind::accessibilityNotTrusted); }
    static InputError injectionFailed() { return InputError(Kind::injectionFailed); }
    static InputError leftOnClipboard() { return InputError(Kind::leftOnClipboard); }

    Kind kind() const { return kind_; }
    QString errorDescription() const { return L(key(kind_)); }
    bool operator==(const InputError& o) const { return kind_ == o.kind_; }

private:
    static const char* key(Kind kind) {
        switch (kind) {
        case Kind::accessibilityNotTrusted:
            return "input.error.ax";
        case Kind::injectionFailed:
            break;
        case Kind::leftOnClipboard:
            return "input.error.on_clipboard";
        }
        return "input.error.inject";
    }
    Kind kind_;
};

} // namespace quillory
