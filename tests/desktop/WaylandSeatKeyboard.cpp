// Keeps one virtual keyboard with a full keymap plugged into the seat of the headless compositor
// (scripts/wayland-session.sh --seat-keyboard): GTK 3 windows take the keyboard focus only while
// the seat has a keyboard, and a headless compositor reads no real one. Runs until it is stopped.
#include "Input/wayland/VirtualKeyboardPoster.h"
#include "Input/wayland/WaylandConnection.h"

#include <QCoreApplication>

#include <cstdio>

int main(int argc, char** argv) {
    QCoreApplication app(argc, argv);
    QString why;
    const auto connection = quillory::input::WaylandConnection::open(&why);
    if (!connection) {
        std::fprintf(stderr, "seat keyboard: %s\n", qPrintable(why));
        return 1;
    }
    quillory::input::VirtualKeyboardPoster keyboard(connection);
    if (!keyboard.createEventSource()) {
        std::fprintf(stderr, "seat keyboard: the compositor has no virtual keyboard for us\n");
        return 1;
    }
    return app.exec(); // until SIGTERM

}
