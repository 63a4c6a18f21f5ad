#include "Input/gnome/MutterRemoteDesktop.h"

#include "Input/CopiedClipboardItem.h"
#include "Input/TextInjector.h"
#include "Input/wayland/PipeWriter.h"
#include "Runtime/Log.h"

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstring>
#include <poll.h>
#include <stdexcept>
#include <unistd.h>

namespace quillory::input {

MutterRemoteDesktop::MutterRemoteDesktop(std::unique_ptr<MutterSessionBus> bus) : bus_(std::move(bus)) {
    // A reader that closes its end of a pipe while we write must not end the process.
    struct sigaction current {};
    if (sigaction(SIGPIPE, nullptr, &current) == 0 && current.sa_handler == SIG_DFL) {
        std::signal(SIGPIPE, SIG_IGN);
    }
}

MutterRemoteDesktop::~MutterRemoteDesktop() {
    *alive_ = false;
    if (open_) {
        for (auto it = held_.rbegin(); it != held_.rend(); ++it) {
            (void)bus_->keysym(*it, false);
        }
        bus_->close();
    }
}

bool MutterRemoteDesktop::ensureOpen() {
    if (open_) {
        return true;
    }
    if (!bus_) {
        lastError_ = QStringLiteral("no remote desktop bus");
        return false;
    }
    const std::weak_ptr<bool> alive = alive_;
    MutterSessionBus::Events events;
    events.ownerChanged = [this, alive](const QStringList& types, bool ours) {
        if (alive.lock() && *alive.lock()) {
            ownerChanged(types, ours);
        }
    };
    events.transfer = [this, alive](const QString& type, quint32 serial) {
        if (alive.lock() && *alive.lock()) {
            transfer(type, serial);
        }
    };
    events.closed = [this, alive] {
        if (alive.lock() && *alive.lock()) {
            closed();
        }
    };
    const Expected<> opened = bus_->open(std::move(events));
    if (!opened) {
        lastError_ = QStringLiteral("GNOME's remote desktop session could not be opened: %1").arg(opened.error());
        qCWarning(lcInput, "%s", qUtf8Printable(lastError_));
        return false;
    }
    open_ = true;
    lastError_.clear();
    qCInfo(lcInput, "GNOME remote desktop session open (paste key and clipboard)");
    return true;
}

void MutterRemoteDesktop::closed() {
    if (!open_) {
        return;
    }
    qCWarning(lcInput, "GNOME's remote desktop session closed; it is opened again at the next paste");
    open_ = false;
    served_.reset();
    offered_.clear();
    ownerKnown_ = false;
    awaitingEcho_ = false;
    held_.clear();
    bus_->close();
}

void MutterRemoteDesktop::ownerChanged(const QStringList& types, bool ours) {
    qCDebug(lcInput, "Clipboard owner changed: %s [%s]%s", ours ? "ours" : "another",
            qUtf8Printable(types.join(QStringLiteral(", "))), awaitingEcho_ ? " (before our latest write)" : "");
    if (ours) {
        awaitingEcho_ = false;
        return;
    }
    if (awaitingEcho_) {
        // Sent before mutter took our latest write (signals come after the call's answer): that
        // write is what counts.
        return;
    }
    served_.reset();
    offered_ = types;
    ownerKnown_ = true;
    ++changeCount_;
}

void MutterRemoteDesktop::transfer(const QString& type, quint32 serial) {
    const QByteArray* bytes = nullptr;
    if (served_) {
        for (const auto& [t, b] : *served_) {
            if (t == type) {
                bytes = &b;
                break;
            }
        }
    }
    if (!bytes) {
        bus_->selectionWriteDone(serial, false);
        return;
    }
    const Expected<int> fd = bus_->selectionWrite(serial);
    if (!fd) {
        qCWarning(lcInput, "The clipboard could not be handed over: %s", qUtf8Printable(fd.error()));
        return;
    }
    const std::weak_ptr<bool> alive = alive_;
    new PipeWriter(fd.value(), *bytes, kServeLimit, this, [this, alive, serial](bool complete) {
        if (const auto a = alive.lock(); a && *a && open_) {
            bus_->selectionWriteDone(serial, complete);
        }
    });
}

Expected<int> MutterRemoteDesktop::openRead(const QString& type) const {
    // mutter ends a read in its own main loop after the data has gone, and refuses the next one
    // of the session ("Tried to read in parallel") until then: try again for a moment.
    const auto end = std::chrono::steady_clock::now() + kReadLimit;
    for (;;) {
        Expected<int> opened = bus_->selectionRead(type);
        if (opened || !opened.error().contains(QLatin1String("in parallel")) ||
            std::chrono::steady_clock::now() >= end) {
            return opened;
        }
        ::usleep(10 * 1000);
    }
}

std::optional<QByteArray> MutterRemoteDesktop::readType(const QString& type) const {
    const Expected<int> opened = openRead(type);
    if (!opened) {
        qCWarning(lcInput, "The clipboard could not be read: %s", qUtf8Printable(opened.error()));
        return std::nullopt;
    }
    const int fd = opened.value();
    QByteArray bytes;
    const auto end = std::chrono::steady_clock::now() + kReadLimit;
    for (;;) {
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(end - std::chrono::steady_clock::now());
        pollfd p{fd, POLLIN, 0};
        if (left.count() <= 0 || poll(&p, 1, int(left.count())) <= 0) {
            ::close(fd);
            qCWarning(lcInput, "The clipboard's owner did not hand over %s within %lld ms", qUtf8Printable(type),
                      qint64(kReadLimit.count()));
            return std::nullopt;
        }
        char chunk[65536];
        const ssize_t n = ::read(fd, chunk, sizeof chunk);
        if (n > 0) {
            bytes.append(chunk, n);
        } else if (n == 0) {
            break;
        } else if (errno != EINTR && errno != EAGAIN) {
            const int error = errno;
            ::close(fd);
            qCWarning(lcInput, "The clipboard could not be read: %s", std::strerror(error));
            return std::nullopt;
        }
    }
    ::close(fd);
    return bytes;
}

std::optional<std::vector<std::shared_ptr<const ClipboardItemSource>>> MutterRemoteDesktop::items() const {
    std::vector<std::shared_ptr<const ClipboardItemSource>> items;
    if (served_) {
        if (!served_->empty()) {
            items.push_back(std::make_shared<CopiedClipboardItem>(*served_));
        }
        return items;
    }
    if (!const_cast<MutterRemoteDesktop*>(this)->ensureOpen()) {
        return std::nullopt;
    }
    if (!ownerKnown_) {
        // mutter told of no owner since the session opened: the plain text, if anyone holds some.
        const Expected<int> probe = openRead(plainTextTypes().first());
        if (!probe) {
            if (probe.error().contains(QLatin1String("No selection owner"))) {
                return items;
            }
            qCWarning(lcInput, "The clipboard could not be read: %s", qUtf8Printable(probe.error()));
            return std::nullopt;
        }
        ::close(probe.value());
    }
    const QStringList types = ownerKnown_ ? offered_ : QStringList{plainTextTypes().first()};
    const qint64 reading = changeCount_;
    Entries entries;
    for (const QString& type : types) {
        auto bytes = readType(type);
        if (!bytes) {
            return std::nullopt;
        }
        if (changeCount_ != reading) {
            qCWarning(lcInput, "The clipboard changed while it was read");
            return std::nullopt;
        }
        entries.emplace_back(type, std::move(*bytes));
    }
    if (!entries.empty()) {
        items.push_back(std::make_shared<CopiedClipboardItem>(std::move(entries)));
    }
    return items;
}

bool MutterRemoteDesktop::serve(Entries entries) {
    QStringList types;
    for (const auto& entry : entries) {
        types << entry.first;
    }
    for (int attempt = 0; attempt < 2; ++attempt) {
        if (!ensureOpen()) {
            return false;
        }
        // Giving the clipboard up is no write to wait for: mutter signals no owner of ours after it
        // (and nothing at all when another application owned the clipboard).
        awaitingEcho_ = !types.isEmpty();
        const Expected<> set = bus_->setSelection(types);
        if (set) {
            served_ = std::move(entries);
            ownerKnown_ = true;
            offered_ = types;
            ++changeCount_;
            return true;
        }
        awaitingEcho_ = false;
        lastError_ = QStringLiteral("the clipboard could not be set: %1").arg(set.error());
        qCWarning(lcInput, "%s", qUtf8Printable(lastError_));
        closed(); // a session that refuses is opened afresh once
    }
    return false;
}

qint64 MutterRemoteDesktop::clearContents() {
    if (!serve({})) {
        return -1;
    }
    served_.reset();
    offered_.clear();
    return changeCount_;
}

bool MutterRemoteDesktop::setString(const QString& text, const QString& type) {
    return serve(stringEntries(text, type));
}

bool MutterRemoteDesktop::writeItems(const std::vector<ClipboardItem>& items) {
    Entries entries = entriesOfItems(items);
    if (entries.empty()) {
        return clearContents() >= 0;
    }
    return serve(std::move(entries));
}

bool MutterRemoteDesktop::createEvent(const KeyEvent& event) {
    return event.virtualKey == ClipboardPasteInjector::kVirtualKeyV;
}

void MutterRemoteDesktop::sendKey(quint32 keysym, bool down) {
    if (down ? held_.contains(keysym) : !held_.contains(keysym)) {
        return;
    }
    // Only a press with nothing held may go to a session opened afresh: a V without its Control
    // would type a letter.
    const bool mayReopen = down && held_.empty();
    Expected<> sent = open_ ? bus_->keysym(keysym, down) : Expected<>(Failure{QStringLiteral("the session is closed")});
    if (!sent && mayReopen) {
        closed();
        if (ensureOpen()) {
            sent = bus_->keysym(keysym, down);
        }
    }
    if (!sent) {
        closed();
        throw std::runtime_error(
            QStringLiteral("GNOME's remote desktop session did not take the key: %1")
                .arg(lastError_.isEmpty() ? sent.error() : lastError_)
                .toStdString());
    }
    if (down) {
        held_.insert(keysym);
    } else {
        held_.erase(keysym);
    }
}

void MutterRemoteDesktop::post(const KeyEvent& event) {
    if (!createEvent(event)) {
        throw std::runtime_error("GNOME's remote desktop session presses only the paste key");
    }
    const bool command = event.flags & ClipboardPasteInjector::kCommandFlag;
    if (event.keyDown) {
        // Exactly Ctrl+V: whatever the session still holds from a paste cut short goes up first.
        const std::set<quint32> held = held_;
        for (auto it = held.rbegin(); it != held.rend(); ++it) {
            sendKey(*it, false);
        }
        if (command) {
            sendKey(kControlL, true);
        }
        sendKey(kKeyV, true);
    } else {
        sendKey(kKeyV, false);
        if (command) {
            sendKey(kControlL, false);
        }
    }
}

} // namespace quillory::input
