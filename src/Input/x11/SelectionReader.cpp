#include "Input/x11/SelectionReader.h"

#include "Input/x11/QtClipboard.h"
#include "Input/x11/X11Connection.h"
#include "Platform/x11/XDisplay.h"


#include <X11/Xatom.h>
#include <X11/Xlib.h>

#include <poll.h>

#include <cstring>

#include <algorithm>

namespace quillory::input {

namespace {

using Clock = std::chrono::steady_clock;

/// A window of our own to receive the converted selection on, destroyed at the end (with any
/// event still queued for it).
class Receiver {
public:
    Receiver(Display* display, Clock::time_point deadline) : display_(display), deadline_(deadline) {
        XSetWindowAttributes attributes{};
        attributes.event_mask = PropertyChangeMask;
        window_ = XCreateWindow(display, DefaultRootWindow(display), -10, -10, 1, 1, 0, CopyFromParent, InputOnly,
                                CopyFromParent, CWEventMask, &attributes);
        property_ = XInternAtom(display, "QUILLORY_SELECTION", False);
        incr_ = XInternAtom(display, "INCR", False);
    }
    ~Receiver() {
        XDestroyWindow(display_, window_);
        XSync(display_, False);
        XEvent e;
        while (XCheckWindowEvent(display_, window_, ~0L, &e) ||
               XCheckTypedWindowEvent(display_, window_, SelectionNotify, &e)) {
        }
    }

    enum class Result { ok, refused, timedOut };

    /// Asks the owner for `target` and reads the answer into `out` (its type into `type`).
    Result convert(Atom selection, Atom target, QByteArray* out, Atom* type, int* format) {
        XConvertSelection(display_, selection, target, property_, window_, CurrentTime);
        XEvent e;
        if (!waitFor(SelectionNotify, &e, [&](const XEvent& ev) { return ev.xselection.target == target; })) {
            return Result::timedOut;
        }
        if (e.xselection.property == None) {
            return Result::refused;
        }
        // Property events so far (the owner's first write) are not pieces of an incremental transfer.
        XSync(display_, False);
        while (XCheckTypedWindowEvent(display_, window_, PropertyNotify, &e)) {
        }
        if (!readProperty(out, type, format)) {
            return Result::refused;
        }
        if (*type != incr_) {
            return Result::ok;
        }
        // Incremental transfer: each deletion of the property asks for the next piece; an empty
        // piece ends it.
        out->clear();
        for (;;) {
            if (!waitFor(PropertyNotify, &e, [&](const XEvent& ev) {
                    return ev.xproperty.atom == property_ && ev.xproperty.state == PropertyNewValue;
                })) {
                return Result::timedOut;
            }
            QByteArray piece;
            Atom pieceType = None;
            if (!readProperty(&piece, &pieceType, format)) {
                return Result::refused;
            }
            if (piece.isEmpty()) {
                *type = pieceType;
                return Result::ok;
            }
            out->append(piece);
        }
    }

private:
    template <typename Match>
    bool waitFor(int type, XEvent* e, Match match) {
        for (;;) {
            while (XCheckTypedWindowEvent(display_, window_, type, e)) {
                if (match(*e)) {
                    return true;
                }
            }
            const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline_ - Clock::now()).count();
            if (left <= 0) {
                return false;
            }
            pollfd fd{ConnectionNumber(display_), POLLIN, 0};
            poll(&fd, 1, int(std::min<long long>(left, 50)));
        }
    }

    /// Reads and deletes our property (which also asks an incremental owner for more).
    bool readProperty(QByteArray* out, Atom* type, int* format) {
        out->clear();
        long offset = 0;
        for (;;) {
            unsigned long count = 0, after = 0;
            unsigned char* data = nullptr;
            if (XGetWindowProperty(display_, window_, property_, offset, 1 << 20, False, AnyPropertyType, type, format,
                                   &count, &after, &data) != Success) {
                return false;
            }
            if (data) {
                // Format 32 comes as longs in memory; atoms are read from those, other data keeps bytes.
                const int unit = *format == 32 ? int(sizeof(long)) : *format / 8;
                out->append(reinterpret_cast<const char*>(data), qsizetype(count) * unit);
                XFree(data);
            }
            offset += long(qsizetype(count) * (*format == 0 ? 1 : *format / 8) / 4);
            if (after == 0 || count == 0) {
                break;
            }
        }
        XDeleteProperty(display_, window_, property_);
        XFlush(display_);
        return true;
    }

    Display* display_;
    Clock::time_point deadline_;
    Window window_ = None;
    Atom property_ = None;
    Atom incr_ = None;
};

QString atomName(Display* display, Atom atom) {
    char* name = XGetAtomName(display, atom);
    const QString result = name ? QString::fromLatin1(name) : QString();
    if (name) {
        XFree(name);
    }
    return result;
}

int textRank(const QString& target) {
    if (target == QLatin1String("UTF8_STRING")) {
        return 1;
    }
    if (target == QLatin1String("text/plain;charset=utf-8")) {
        return 2;
    }
    if (target == QLatin1String("text/plain")) {
        return 3;
    }
    if (target == QLatin1String("STRING")) {
        return 4;
    }
    return 0;
}

} // namespace

std::optional<SelectionContents> readSelection(X11Connection& connection, const char* selectionName,
                                               std::chrono::milliseconds limit, QString* why) {
    Display* display = connection.display();
    if (!display) {
        return std::nullopt;
    }
    const Atom selection = XInternAtom(display, selectionName, False);
    if (XGetSelectionOwner(display, selection) == None) {
        return SelectionContents{};
    }
    const auto fail = [&](const QString& reason) -> std::optional<SelectionContents> {
        if (why) {
            *why = reason;
        }
        return std::nullopt;
    };
    // An owner may list atoms that do not exist: an X error then must not end this process.
    platform::x11::ErrorTrap trap(display);
    Receiver receiver(display, Clock::now() + limit);
    const qint64 ms = limit.count();

    QByteArray raw;
    Atom type = None;
    int format = 0;
    switch (receiver.convert(selection, XInternAtom(display, "TARGETS", False), &raw, &type, &format)) {
    case Receiver::Result::timedOut:
        return fail(QStringLiteral("its owner did not list its formats within %1 ms").arg(ms));
    case Receiver::Result::refused:
        return fail(QStringLiteral("its owner refused to list its formats"));
    case Receiver::Result::ok:
        break;
    }
    if (format != 32) {
        return fail(QStringLiteral("its owner listed its formats in an unknown shape"));
    }
    std::vector<Atom> targets;
    for (qsizetype i = 0; i + qsizetype(sizeof(long)) <= raw.size(); i += sizeof(long)) {
        unsigned long atom = 0;
        std::memcpy(&atom, raw.constData() + i, sizeof atom);
        targets.push_back(Atom(atom));
    }

    // Text goes in one entry at the place of the first text target, read from the best of them.
    SelectionContents contents;
    Atom bestText = None;
    int bestRank = 0;
    qsizetype textAt = -1;
    std::vector<std::pair<QString, Atom>> data;
    for (Atom target : targets) {
        const QString name = atomName(display, target);
        if (const int rank = textRank(name)) {
            if (bestRank == 0 || rank < bestRank) {
                bestRank = rank;
                bestText = target;
            }
            if (textAt < 0) {
                textAt = qsizetype(data.size());
            }
            continue;
        }
        if (isClipboardDataFormat(name) && !name.startsWith(QLatin1String("text/plain")) &&
            std::none_of(data.begin(), data.end(), [&](const auto& d) { return d.first == name; })) {
            data.emplace_back(name, target);
        }
    }
    if (bestText != None) {
        data.insert(data.begin() + textAt, {QStringLiteral("text/plain"), bestText});
    }
    for (const auto& [name, target] : data) {
        QByteArray bytes;
        switch (receiver.convert(selection, target, &bytes, &type, &format)) {
        case Receiver::Result::timedOut:
            return fail(QStringLiteral("its owner did not hand over %1 within %2 ms").arg(name).arg(ms));
        case Receiver::Result::refused:
            continue; // a format it listed but does not give: not kept
        case Receiver::Result::ok:
            break;
        }
        if (name == QLatin1String("text/plain") && textRank(atomName(display, target)) == 4) {
            bytes = QString::fromLatin1(bytes).toUtf8();
        }
        contents.emplace_back(name, bytes);
    }
    return contents;
}

} // namespace quillory::input
