#pragma once

#include <QString>

#include <memory>

struct _XDisplay;

namespace quillory::platform::x11 {

/// Closes an Xlib display (for `std::unique_ptr`).
struct DisplayCloser {
    void operator()(_XDisplay* display) const;
};
using DisplayPtr = std::unique_ptr<_XDisplay, DisplayCloser>;

/// Opens a connection of our own to the X display `name` (DISPLAY when null). Null, with the reason
/// in `why` ("no X display (DISPLAY is not set)", "cannot open the X display :1"), when there is none.
DisplayPtr openDisplay(QString* why = nullptr, const char* name = nullptr);

/// The display's XInput extension speaks at least `major`.`minor` (raw key events need 2.2).
/// `opcode` receives the extension's major opcode (the `extension` field of its events).
bool hasXInput(_XDisplay* display, int major, int minor, int* opcode = nullptr);

/// Xlib reports protocol errors through one process-wide handler, whose default ends the process.
/// While an ErrorTrap lives, errors of its display are recorded instead (the first one counts);
/// errors of other displays go to the handler that was installed before. Traps nest (the inner one
/// records until it finishes). Used on the main thread only.
class ErrorTrap {
public:
    /// Waits for the display's earlier requests, so their errors are not counted.
    explicit ErrorTrap(_XDisplay* display);
    ~ErrorTrap();
    ErrorTrap(const ErrorTrap&) = delete;
    ErrorTrap& operator=(const ErrorTrap&) = delete;

    /// Waits for the server's answers, removes the trap and returns the first error code (0: none).
    int finish();

private:
    _XDisplay* display_;
    ErrorTrap* outer_;
    int error_ = 0;
    bool finished_ = false;

    friend struct ErrorTrapAccess;
};

} // namespace quillory::platform::x11
