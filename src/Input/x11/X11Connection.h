#pragma once

#include <QString>

#include <memory>

struct _XDisplay;

namespace quillory::input {

/// Our own connection to the X server (not Qt's), for XTest and window properties. Opened once,
/// closed with the last owner. Main thread only.
class X11Connection {
public:
    ~X11Connection();
    X11Connection(const X11Connection&) = delete;
    X11Connection& operator=(const X11Connection&) = delete;

    /// Opens DISPLAY; null (with the reason in `why`) when there is no reachable X server.
    static std::shared_ptr<X11Connection> open(QString* why = nullptr);

    _XDisplay* display() const { return display_; }
    /// True when the server offers the XTEST extension (we may synthesise input).
    bool hasXTest() const { return hasXTest_; }
    /// True when a clipboard manager runs (someone owns the CLIPBOARD_MANAGER selection): it takes
    /// over the clipboard of an application that quits.
    bool clipboardManagerRuns() const;

private:
    explicit X11Connection(_XDisplay* display);
    _XDisplay* display_;
    bool hasXTest_ = false;
};

} // namespace quillory::input
