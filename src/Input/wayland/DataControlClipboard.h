#pragma once

#include "Input/InputPlatform.h"

#include <QObject>

#include <chrono>
#include <memory>

struct zwlr_data_control_device_v1;
struct zwlr_data_control_offer_v1;
struct zwlr_data_control_source_v1;

namespace quillory::input {

class WaylandConnection;

/// The Wayland clipboard through the wlr-data-control protocol (wlroots compositors such as sway,
/// and KWin): read, written and restored without any window of ours having focus.
///
/// The clipboard holds one item with any number of formats (MIME types, or names such as
/// UTF8_STRING that X11 programs offer: on Wayland each is plain data). Another client's
/// contents are read format by format through a pipe, each within `kReadLimit`; an owner that
/// does not answer makes `items()` fail after that time instead of blocking the main thread.
///
/// What we write is served by this process until another client takes the clipboard or this
/// object goes away (the clipboard then empties: a caller that quits hands it on first). Every
/// read of it by another client comes through us, so reads are reported (`whenFetched`).
///
/// The change count is our own counter: a write bumps it exactly once; each new selection that
/// another client makes bumps it. Main thread only.
class DataControlClipboard final : public QObject, public Clipboard {
    Q_OBJECT
public:
    static constexpr std::chrono::milliseconds kReadLimit{1000};
    /// How long a client reading what we serve may take before we stop writing to it.
    static constexpr std::chrono::milliseconds kServeLimit{5000};

    enum class Selection {
        clipboard, ///< the clipboard (Ctrl+C, Ctrl+V)
        primary,   ///< the primary selection (select, middle click, Shift+Insert in xterm); needs data-control v2
    };

    explicit DataControlClipboard(std::shared_ptr<WaylandConnection> connection,
                                  Selection which = Selection::clipboard);
    ~DataControlClipboard() override;

    /// Whether the compositor gave us a data device (false: every operation fails).
    bool isUsable() const { return device_ != nullptr; }

    /// Takes in the selection changes that have arrived first (without waiting for more).
    qint64 changeCount() const override;
    std::optional<std::vector<std::shared_ptr<const ClipboardItemSource>>> items() const override;
    qint64 clearContents() override;
    bool setString(const QString& text, const QString& type) override;
    bool writeItems(const std::vector<ClipboardItem>& items) override;
    bool reportsFetches() const override { return true; }
    void whenFetched(std::function<void()> fetched) override { onFetch_ = std::move(fetched); }

    /// Whether this process serves the clipboard now.
    bool ownsSelection() const { return source_ != nullptr; }

    /// One format and its bytes.
    using Entries = std::vector<std::pair<QString, QByteArray>>;

private:
    struct Offer;
    struct Source;
    struct Listeners;

    bool serve(Entries entries);
    void dropSource();
    void selectionChanged(zwlr_data_control_offer_v1* offer);
    void offered(zwlr_data_control_offer_v1* offer, bool primary);
    void setSelection(zwlr_data_control_source_v1* source);
    void sendRequested(Source* source, const QString& type, int fd);
    std::optional<QByteArray> readOffer(zwlr_data_control_offer_v1* offer, const QString& type) const;

    std::shared_ptr<WaylandConnection> connection_;
    zwlr_data_control_device_v1* device_ = nullptr;
    Offer* selection_ = nullptr;        ///< another client's selection, or ours as the compositor offers it
    Offer* otherOffer_ = nullptr;       ///< the other selection's offer (kept only to be released)
    bool primary_ = false;              ///< this is the primary selection
    std::unique_ptr<Source> source_;    ///< what we serve
    quint64 selectionSerial_ = 0;       ///< bumped by every selection event
    qint64 changeCount_ = 0;
    bool writing_ = false;              ///< selection events during our own write are that write
    std::function<void()> onFetch_;
};

} // namespace quillory::input
