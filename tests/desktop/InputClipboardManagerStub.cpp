// The smallest clipboard manager, for the test that an exiting paste command hands its clipboard
// over: it owns CLIPBOARD_MANAGER, answers SAVE_TARGETS by fetching the clipboard's text, then
// owns CLIPBOARD and serves that text. stdout: "ready", then "saved <base64 utf-8>". Ends when
// stdin closes.
#include <QByteArray>

#include <X11/Xatom.h>
#include <X11/Xlib.h>

#include <cstdio>
#include <poll.h>
#include <unistd.h>

int main() {
    Display* d = XOpenDisplay(nullptr);
    if (!d) {
        return 1;
    }
    const auto atom = [d](const char* name) { return XInternAtom(d, name, False); };
    const Atom manager = atom("CLIPBOARD_MANAGER"), saveTargets = atom("SAVE_TARGETS"), clipboard = atom("CLIPBOARD"),
               utf8 = atom("UTF8_STRING"), targets = atom("TARGETS"), saved = atom("QUILLORY_SAVED");
    const Window w = XCreateSimpleWindow(d, DefaultRootWindow(d), 0, 0, 1, 1, 0, 0, 0);
    XSetSelectionOwner(d, manager, w, CurrentTime);
    XSync(d, False);
    std::printf("ready\n");
    std::fflush(stdout);

    QByteArray text;
    XSelectionRequestEvent pending{};
    bool havePending = false;
    const auto reply = [d](const XSelectionRequestEvent& r, Atom property) {
        XEvent n{};
        n.xselection = {SelectionNotify, 0, True, d, r.requestor, r.selection, r.target, property, r.time};
        XSendEvent(d, r.requestor, False, NoEventMask, &n);
        XFlush(d);
    };
    pollfd fds[2] = {{ConnectionNumber(d), POLLIN, 0}, {STDIN_FILENO, POLLIN, 0}};
    for (;;) {
        if (!XPending(d)) {
            if (poll(fds, 2, -1) < 0 || (fds[1].revents & (POLLIN | POLLHUP))) {
                char c;
                if (fds[1].revents && read(STDIN_FILENO, &c, 1) <= 0) {
                    break;
                }
            }
            continue;
        }
        XEvent e;
        XNextEvent(d, &e);
        if (e.type == SelectionRequest && e.xselectionrequest.selection == manager &&
            e.xselectionrequest.target == saveTargets) {
            pending = e.xselectionrequest;
            havePending = true;
            XConvertSelection(d, clipboard, utf8, saved, w, CurrentTime);
            XFlush(d);
        } else if (e.type == SelectionNotify && e.xselection.requestor == w && havePending) {
            if (e.xselection.property != None) {
                Atom type;
                int format;
                unsigned long count, after;
                unsigned char* data = nullptr;
                XGetWindowProperty(d, w, saved, 0, 1 << 20, True, AnyPropertyType, &type, &format, &count, &after, &data);
                text = QByteArray(reinterpret_cast<char*>(data), int(count));
                XFree(data);
            }
            reply(pending, pending.property);
            havePending = false;
            XSetSelectionOwner(d, clipboard, w, CurrentTime);
            XSync(d, False);
            std::printf("saved %s\n", text.toBase64().constData());
            std::fflush(stdout);
        } else if (e.type == SelectionRequest && e.xselectionrequest.selection == clipboard) {
            const XSelectionRequestEvent& r = e.xselectionrequest;
            Atom property = r.property == None ? r.target : r.property;
            if (r.target == targets) {
                const Atom offered[] = {targets, utf8};
                XChangeProperty(d, r.requestor, property, XA_ATOM, 32, PropModeReplace,
                                reinterpret_cast<const unsigned char*>(offered), 2);
            } else if (r.target == utf8) {
                XChangeProperty(d, r.requestor, property, utf8, 8, PropModeReplace,
                                reinterpret_cast<const unsigned char*>(text.constData()), int(text.size()));
            } else {
                property = None;
            }
            reply(r, property);
        } else if (e.type == SelectionRequest) {
            reply(e.xselectionrequest, None);
        }
    }
    XCloseDisplay(d);
    return 0;
}
