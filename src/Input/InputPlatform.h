#pragma once

#include <QByteArray>
#include <QString>
#include <QStringList>
#include <QVariant>

#include <functional>
#include <memory>
#include <optional>
#include <utility>
#include <variant>
#include <vector>

namespace quillory {

/// Whether this process may synthesise input into other applications: the paste path chosen for
/// this desktop (XTEST, a portal, a compositor protocol, uinput) works.
class InjectionTrust {
public:
    virtual ~InjectionTrust() = default;
    virtual bool isTrusted() const = 0;
};

/// An accessible element, with attributes named as "AXRole", "AXValue", "AXSelectedText".
class AccessibleElement {
public:
    virtual ~AccessibleElement() = default;
    /// The attribute's value: nullopt when reading it fails; an invalid QVariant when it is absent.
    virtual std::optional<QVariant> attribute(const QString& name) const = 0;
    /// Writes an attribute; false when the write fails.
    virtual bool setAttribute(const QString& name, const QVariant& value) = 0;
};

/// The element that has keyboard focus in the whole desktop.
class FocusedElementProvider {
public:
    virtual ~FocusedElementProvider() = default;
    /// The focused element; null when there is none or the query fails.
    virtual std::shared_ptr<AccessibleElement> focusedElement() = 0;
};

/// One item on the clipboard as the clipboard hands it out (it may change behind our back).
class ClipboardItemSource {
public:
    virtual ~ClipboardItemSource() = default;
    virtual QStringList types() const = 0;
    virtual std::optional<QByteArray> data(const QString& type) const = 0;
    virtual std::optional<QString> string(const QString& type) const = 0;
};

/// A self-contained clipboard item: (type, data or string) pairs in declaration order.
struct ClipboardItem {
    using Value = std::variant<QByteArray, QString>;
    std::vector<std::pair<QString, Value>> entries;

    bool operator==(const ClipboardItem&) const = default;
};

/// The system clipboard with multi-format items and a change counter.
class Clipboard {
public:
    /// The plain text type.
    static inline const QString stringType = QStringLiteral("text/plain");

    virtual ~Clipboard() = default;
    virtual qint64 changeCount() const = 0;
    /// The items on the clipboard; nullopt when they cannot be listed.
    virtual std::optional<std::vector<std::shared_ptr<const ClipboardItemSource>>> items() const = 0;
    /// Empties the clipboard; returns the new change count (negative on failure).
    virtual qint64 clearContents() = 0;
    virtual bool setString(const QString& text, const QString& type) = 0;
    virtual bool writeItems(const std::vector<ClipboardItem>& items) = 0;

    /// Whether `whenFetched` ever reports anything: the clipboard learns when another
    /// application reads what we wrote (on X11 we serve our own data, so we see each request).
    virtual bool reportsFetches() const { return false; }
    /// Calls `fetched` once, on the main thread, when another application first reads the data
    /// of our latest write. A later call replaces the callback; an empty one removes it.
    virtual void whenFetched(std::function<void()> fetched) { (void)fetched; }
};

/// One synthesised key event: a virtual key code of the core's vocabulary and explicit flags.
struct KeyEvent {
    int virtualKey = 0;
    bool keyDown = true;
    quint64 flags = 0;

    bool operator==(const KeyEvent&) const = default;
};

/// Posts synthesised key events at the lowest level the desktop offers. The backend maps the
/// core's vocabulary (key 9 with the Command mask) to Ctrl+V and releases modifiers still held.
class KeyEventPoster {
public:
    virtual ~KeyEventPoster() = default;
    /// Opens the event source; false when events cannot be synthesised at all.
    virtual bool createEventSource() = 0;
    /// Creates one event; false when it cannot be made.
    virtual bool createEvent(const KeyEvent& event) = 0;
    virtual void post(const KeyEvent& event) = 0;
    /// Whether the paste key for the focused window reads the primary selection rather than the
    /// clipboard (X11 terminals whose Shift+Insert pastes PRIMARY). Asked once per paste, before
    /// the clipboard is written; the press that follows keeps the answer.
    virtual bool pasteReadsPrimarySelection() { return false; }
};

/// The platform pieces the input engine works with.
struct InputPlatform {
    std::shared_ptr<InjectionTrust> trust;
    std::shared_ptr<FocusedElementProvider> focus;
    std::shared_ptr<Clipboard> clipboard;
    std::shared_ptr<KeyEventPoster> keys;
    /// The primary selection (X11), written and restored beside the clipboard when the paste key
    /// reads it; null where there is none.
    std::shared_ptr<Clipboard> primarySelection = nullptr;
    /// Where the words go when no paste key can be pressed but a clipboard reaches the apps (a
    /// Wayland desktop without a working paste path): they are left there for the user to paste.
    /// Null elsewhere.
    std::shared_ptr<Clipboard> fallbackClipboard = nullptr;
};

} // namespace quillory
