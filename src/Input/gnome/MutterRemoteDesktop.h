#pragma once

#include "Input/InputPlatform.h"
#include "Runtime/Expected.h"

#include <QObject>
#include <QString>
#include <QStringList>

#include <chrono>
#include <functional>
#include <memory>
#include <optional>
#include <set>

namespace quillory::input {

/// One session of GNOME's own remote desktop service (org.gnome.Mutter.RemoteDesktop on the
/// session bus) as the backend uses it: the seam tests fake. Calls block for at most a bounded
/// time; events come on the main thread.
class MutterSessionBus {
public:
    struct Events {
        /// SelectionOwnerChanged: the types now offered and whether our session offers them; an
        /// empty list with `ours` false when nobody owns the clipboard.
        std::function<void(const QStringList& mimeTypes, bool ours)> ownerChanged;
        /// SelectionTransfer: a client wants our data of `mimeType` for the transfer `serial`.
        std::function<void(const QString& mimeType, quint32 serial)> transfer;
        /// The session ended (Closed, or the service went away).
        std::function<void()> closed;
    };

    virtual ~MutterSessionBus() = default;
    /// CreateSession, Start and EnableClipboard; from then on events go to `events`.
    virtual Expected<> open(Events events) = 0;
    /// Stops the session if one is open.
    virtual void close() = 0;
    /// NotifyKeyboardKeysym.
    virtual Expected<> keysym(quint32 keysym, bool down) = 0;
    /// SetSelection offering these types; an empty list gives the clipboard up.
    virtual Expected<> setSelection(const QStringList& mimeTypes) = 0;
    /// SelectionWrite: the descriptor (ours to close) our data for `serial` goes to.
    virtual Expected<int> selectionWrite(quint32 serial) = 0;
    /// SelectionWriteDone.
    virtual void selectionWriteDone(quint32 serial, bool success) = 0;
    /// SelectionRead: a descriptor (ours to close) the owner's data of `mimeType` arrives on.
    virtual Expected<int> selectionRead(const QString& mimeType) = 0;
};

/// The bus of this session (Qt D-Bus on a connection of its own: the session lives as long as
/// that connection).
std::unique_ptr<MutterSessionBus> makeMutterSessionBus();

/// Paste key and clipboard through one mutter remote desktop session, held for the life of the
/// app (GNOME has neither data-control nor a portal clipboard in its 43 release, and XWayland
/// hands the clipboard over only while an X11 window has focus; this session's clipboard works
/// whatever has the focus).
///
/// Paste key: the core's key 9 with the Command flag is Control_L + v by keysym (mutter finds
/// the key in the user's layout). Keys the session still holds are released first.
///
/// Clipboard: one item with every type the owner offers, each read within `kReadLimit`; what we
/// write is served by this process (`SelectionTransfer` → `SelectionWrite` → the data →
/// `SelectionWriteDone`) until another owner takes over. The change count is our own: a write
/// bumps it once, another owner's selection bumps it. Reads are not reported: mutter's own
/// clipboard keeper reads every new selection at once, so a read says nothing about the target.
///
/// A session that closes (mutter restarted, the service went away) is opened again at the next
/// use; when that fails the call fails with the reason — a key that was not delivered throws.
/// Main thread only.
class MutterRemoteDesktop final : public QObject, public Clipboard, public KeyEventPoster {
public:
    static constexpr std::chrono::milliseconds kReadLimit{1000};
    static constexpr std::chrono::milliseconds kServeLimit{5000};
    static constexpr quint32 kControlL = 0xffe3;
    static constexpr quint32 kKeyV = 0x0076;

    explicit MutterRemoteDesktop(std::unique_ptr<MutterSessionBus> bus);
    ~MutterRemoteDesktop() override;

    /// Opens the session (again, when it closed); false with `lastError` when it cannot be.
    bool ensureOpen();
    bool isOpen() const { return open_; }
    /// Whether what we wrote last is still the clipboard (no other owner since).
    bool ownsSelection() const { return served_.has_value(); }
    const QString& lastError() const { return lastError_; }

    // Clipboard
    qint64 changeCount() const override { return changeCount_; }
    std::optional<std::vector<std::shared_ptr<const ClipboardItemSource>>> items() const override;
    qint64 clearContents() override;
    bool setString(const QString& text, const QString& type) override;
    bool writeItems(const std::vector<ClipboardItem>& items) override;

    // KeyEventPoster
    bool createEventSource() override { return ensureOpen(); }
    bool createEvent(const KeyEvent& event) override;
    /// Throws std::runtime_error when the session does not take the key.
    void post(const KeyEvent& event) override;

    using Entries = std::vector<std::pair<QString, QByteArray>>;

private:
    bool serve(Entries entries);
    void ownerChanged(const QStringList& types, bool ours);
    void transfer(const QString& type, quint32 serial);
    void closed();
    void sendKey(quint32 keysym, bool down);
    Expected<int> openRead(const QString& type) const;
    std::optional<QByteArray> readType(const QString& type) const;

    std::unique_ptr<MutterSessionBus> bus_;
    bool open_ = false;
    QString lastError_;
    qint64 changeCount_ = 0;
    std::optional<Entries> served_; ///< what we offer, while we own the clipboard
    QStringList offered_;           ///< another owner's types
    bool ownerKnown_ = false;       ///< an owner change came since the session opened
    bool awaitingEcho_ = false;     ///< our latest write's owner change has not come back yet
    std::set<quint32> held_;        ///< keysyms the session holds down
    std::shared_ptr<bool> alive_ = std::make_shared<bool>(true);
};

} // namespace quillory::input
