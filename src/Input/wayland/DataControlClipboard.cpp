#include "Input/wayland/DataControlClipboard.h"

#include "Input/CopiedClipboardItem.h"
#include "Input/wayland/PipeWriter.h"
#include "Input/wayland/WaylandConnection.h"
#include "Runtime/Log.h"

#include "wlr-data-control-unstable-v1-client-protocol.h"

#include <QPointer>
#include <QTimer>

#include <wayland-client.h>

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstring>
#include <fcntl.h>
#include <poll.h>
#include <unistd.h>

namespace quillory::input {

namespace {

int remainingMs(std::chrono::steady_clock::time_point end) {
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(end - std::chrono::steady_clock::now());
    return int(std::max<qint64>(0, left.count()));
}

} // namespace

struct DataControlClipboard::Offer {
    zwlr_data_control_offer_v1* proxy = nullptr;
    QStringList types;
    ~Offer() { zwlr_data_control_offer_v1_destroy(proxy); }
};

struct DataControlClipboard::Source {
    zwlr_data_control_source_v1* proxy = nullptr;
    Entries entries;
    DataControlClipboard* owner = nullptr;
    ~Source() { zwlr_data_control_source_v1_destroy(proxy); }
};

struct DataControlClipboard::Listeners {
    static void offerType(void* data, zwlr_data_control_offer_v1*, const char* type) {
        auto* offer = static_cast<DataControlClipboard::Offer*>(data);
        const QString name = QString::fromUtf8(type);
        if (!name.isEmpty() && !offer->types.contains(name)) {
            offer->types << name;
        }
    }
    static constexpr zwlr_data_control_offer_v1_listener offer{&offerType};

    static void dataOffer(void* data, zwlr_data_control_device_v1*, zwlr_data_control_offer_v1* proxy) {
        auto* item = new DataControlClipboard::Offer{proxy, {}};
        zwlr_data_control_offer_v1_add_listener(proxy, &offer, item);
        (void)data;
    }
    static DataControlClipboard::Offer* offerOf(zwlr_data_control_offer_v1* proxy) {
        return proxy ? static_cast<DataControlClipboard::Offer*>(
                           wl_proxy_get_user_data(reinterpret_cast<wl_proxy*>(proxy)))
                     : nullptr;
    }
    static void selection(void* data, zwlr_data_control_device_v1*, zwlr_data_control_offer_v1* proxy) {
        static_cast<DataControlClipboard*>(data)->offered(proxy, false);
    }
    static void finished(void* data, zwlr_data_control_device_v1* device) {
        auto* self = static_cast<DataControlClipboard*>(data);
        qCWarning(lcInput, "The compositor withdrew the clipboard device (the seat went away)");
        zwlr_data_control_device_v1_destroy(device);
        self->device_ = nullptr;
    }
    static void primarySelection(void* data, zwlr_data_control_device_v1*, zwlr_data_control_offer_v1* proxy) {
        static_cast<DataControlClipboard*>(data)->offered(proxy, true);
    }
    static constexpr zwlr_data_control_device_v1_listener device{&dataOffer, &selection, &finished,
                                                                  &primarySelection};

    static void send(void* data, zwlr_data_control_source_v1*, const char* type, int32_t fd) {
        auto* source = static_cast<DataControlClipboard::Source*>(data);
        source->owner->sendRequested(source, QString::fromUtf8(type), fd);
    }
    static void cancelled(void* data, zwlr_data_control_source_v1*) {
        auto* source = static_cast<DataControlClipboard::Source*>(data);
        if (source->owner->source_.get() == source) {
            // Another client took the clipboard: its selection event bumps the count.
            source->owner->source_.reset();
        }
    }
    static constexpr zwlr_data_control_source_v1_listener source{&send, &cancelled};
};

DataControlClipboard::DataControlClipboard(std::shared_ptr<WaylandConnection> connection, Selection which)
    : connection_(std::move(connection)), primary_(which == Selection::primary) {
    // A client that closes its end of a pipe while we write must not kill the process.
    struct sigaction current {};
    if (sigaction(SIGPIPE, nullptr, &current) == 0 && current.sa_handler == SIG_DFL) {
        std::signal(SIGPIPE, SIG_IGN);
    }
    if (!connection_ || !connection_->dataControl() || !connection_->seat()) {
        qCWarning(lcInput, "The clipboard is unavailable: the compositor has no data-control protocol");
        return;
    }
    if (primary_ && connection_->dataControlVersion() < 2) {
        qCWarning(lcInput, "The primary selection is unavailable: the compositor's data-control protocol is version 1");
        return;
    }
    device_ = zwlr_data_control_manager_v1_get_data_device(connection_->dataControl(), connection_->seat());
    zwlr_data_control_device_v1_add_listener(device_, &Listeners::device, this);
    // The current selection comes at once.
    writing_ = true;
    if (!connection_->roundtrip()) {
        qCWarning(lcInput, "The clipboard's current contents did not arrive");
    }
    writing_ = false;
}

DataControlClipboard::~DataControlClipboard() {
    source_.reset();
    delete selection_;
    delete otherOffer_;
    if (device_) {
        zwlr_data_control_device_v1_destroy(device_);
    }
    if (connection_) {
        connection_->flush();
    }
}

qint64 DataControlClipboard::changeCount() const {
    if (device_ && connection_->isAlive()) {
        connection_->readEvents();
    }
    return changeCount_;
}

void DataControlClipboard::offered(zwlr_data_control_offer_v1* proxy, bool primary) {
    if (primary == primary_) {
        selectionChanged(proxy);
        return;
    }
    Offer* next = Listeners::offerOf(proxy);
    if (otherOffer_ != next) {
        delete otherOffer_;
        otherOffer_ = next;
    }
}

void DataControlClipboard::setSelection(zwlr_data_control_source_v1* source) {
    if (primary_) {
        zwlr_data_control_device_v1_set_primary_selection(device_, source);
    } else {
        zwlr_data_control_device_v1_set_selection(device_, source);
    }
}

void DataControlClipboard::selectionChanged(zwlr_data_control_offer_v1* proxy) {
    Offer* next = Listeners::offerOf(proxy);
    if (selection_ != next) {
        delete selection_;
        selection_ = next;
    }
    ++selectionSerial_;
    // Our own write's selection was counted by the write.
    if (!writing_ && !source_) {
        ++changeCount_;
    }
}

void DataControlClipboard::sendRequested(Source* source, const QString& type, int fd) {
    QByteArray bytes;
    for (const auto& [t, b] : source->entries) {
        if (t == type) {
            bytes = b;
            break;
        }
    }
    new PipeWriter(fd, bytes, kServeLimit, this);
    if (source == source_.get() && onFetch_) {
        // Reported from the event loop, outside the compositor's event dispatch.
        QTimer::singleShot(0, this, [fetched = std::exchange(onFetch_, nullptr)] { fetched(); });
    }
}

std::optional<QByteArray> DataControlClipboard::readOffer(zwlr_data_control_offer_v1* offer, const QString& type) const {
    int fds[2];
    if (pipe2(fds, O_CLOEXEC | O_NONBLOCK) != 0) {
        qCWarning(lcInput, "The clipboard could not be read: no pipe (%s)", std::strerror(errno));
        return std::nullopt;
    }
    zwlr_data_control_offer_v1_receive(offer, type.toUtf8().constData(), fds[1]);
    const bool sent = connection_->flush();
    ::close(fds[1]);
    if (!sent) {
        ::close(fds[0]);
        return std::nullopt;
    }
    QByteArray bytes;
    const auto end = std::chrono::steady_clock::now() + kReadLimit;
    const int displayFd = wl_display_get_fd(connection_->display());
    for (;;) {
        // The compositor's events are dispatched meanwhile: the owner may be this very process.
        pollfd fds2[2] = {{fds[0], POLLIN, 0}, {displayFd, POLLIN, 0}};
        const int left = remainingMs(end);
        if (left <= 0 || poll(fds2, 2, left) <= 0) {
            ::close(fds[0]);
            qCWarning(lcInput, "The clipboard's owner did not hand over %s within %lld ms", qUtf8Printable(type),
                      qint64(kReadLimit.count()));
            return std::nullopt;
        }
        if (fds2[1].revents & POLLIN) {
            connection_->readEvents();
        }
        if (!(fds2[0].revents & (POLLIN | POLLHUP | POLLERR))) {
            continue;
        }
        char chunk[65536];
        const ssize_t n = ::read(fds[0], chunk, sizeof chunk);
        if (n > 0) {
            bytes.append(chunk, n);
        } else if (n == 0) {
            break;
        } else if (errno != EINTR && errno != EAGAIN) {
            ::close(fds[0]);
            qCWarning(lcInput, "The clipboard could not be read: %s", std::strerror(errno));
            return std::nullopt;
        }
    }
    ::close(fds[0]);
    return bytes;
}

std::optional<std::vector<std::shared_ptr<const ClipboardItemSource>>> DataControlClipboard::items() const {
    if (!device_ || !connection_->isAlive()) {
        return std::nullopt;
    }
    // The compositor's latest word on the selection first: a copy made a moment ago counts.
    if (!connection_->roundtrip()) {
        return std::nullopt;
    }
    std::vector<std::shared_ptr<const ClipboardItemSource>> items;
    if (source_) {
        // Our own contents: nothing to ask anyone for.
        if (!source_->entries.empty()) {
            items.push_back(std::make_shared<CopiedClipboardItem>(source_->entries));
        }
        return items;
    }
    if (!selection_) {
        return items;
    }
    // The offer may be replaced while we read (events are dispatched): keep our own handle.
    const QStringList types = selection_->types;
    zwlr_data_control_offer_v1* offer = selection_->proxy;
    const quint64 reading = selectionSerial_;
    Entries entries;
    for (const QString& type : types) {
        if (selectionSerial_ != reading) { // the offer we read from is gone
            qCWarning(lcInput, "The clipboard changed while it was read");
            return std::nullopt;
        }
        auto bytes = readOffer(offer, type);
        if (!bytes) {
            return std::nullopt;
        }
        entries.emplace_back(type, std::move(*bytes));
    }
    if (!entries.empty()) {
        items.push_back(std::make_shared<CopiedClipboardItem>(std::move(entries)));
    }
    return items;
}

void DataControlClipboard::dropSource() {
    source_.reset();
}

bool DataControlClipboard::serve(Entries entries) {
    if (!device_ || !connection_->isAlive()) {
        return false;
    }
    auto source = std::make_unique<Source>();
    source->proxy = zwlr_data_control_manager_v1_create_data_source(connection_->dataControl());
    source->entries = std::move(entries);
    source->owner = this;
    zwlr_data_control_source_v1_add_listener(source->proxy, &Listeners::source, source.get());
    for (const auto& entry : source->entries) {
        zwlr_data_control_source_v1_offer(source->proxy, entry.first.toUtf8().constData());
    }
    setSelection(source->proxy);
    Source* mine = source.get();
    source_ = std::move(source); // the previous source is destroyed: it no longer serves
    ++changeCount_;
    writing_ = true;
    const bool answered = connection_->roundtrip();
    writing_ = false;
    if (!answered) {
        qCWarning(lcInput, "The compositor did not confirm the clipboard write");
        return false;
    }
    return source_.get() == mine;
}

qint64 DataControlClipboard::clearContents() {
    if (!device_ || !connection_->isAlive()) {
        return -1;
    }
    setSelection(nullptr);
    dropSource();
    ++changeCount_;
    writing_ = true;
    const bool answered = connection_->roundtrip();
    writing_ = false;
    return answered ? changeCount_ : -1;
}

bool DataControlClipboard::setString(const QString& text, const QString& type) {
    return serve(stringEntries(text, type));
}

bool DataControlClipboard::writeItems(const std::vector<ClipboardItem>& items) {
    Entries entries = entriesOfItems(items);
    if (entries.empty()) {
        return clearContents() >= 0;
    }
    return serve(std::move(entries));
}

} // namespace quillory::input
