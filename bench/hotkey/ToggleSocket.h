#pragma once
// The running app's side of `quillory toggle`: its socket, answering as the tray app does, with
// each toggle timed on a CallbackClock. For the benches whose desktop runs the command.

#include "HotkeyRounds.h"

#include "Cli/RemoteChannel.h"

#include <cstdio>
#include <memory>

namespace quillory::bench {

/// Listening on the app socket, or null after saying why on stderr.
inline std::unique_ptr<remote::Server> listenForToggle(CallbackClock& toggled) {
    auto server = std::make_unique<remote::Server>([&toggled](const QString& command) -> remote::Server::Result {
        if (command == QLatin1String("toggle")) {
            toggled.hit();
            return {};
        }
        return {false, QStringLiteral("unknown command '%1'").arg(command)};
    });
    const QString socket = remote::socketPath();
    QString why;
    if (!remote::prepareSocketFolder(socket, &why) || server->listen(socket, &why) != remote::Server::Listen::listening) {
        std::fprintf(stderr, "cannot listen on %s: %s\n", qPrintable(socket), qPrintable(why));
        return nullptr;
    }
    return server;
}

} // namespace quillory::bench
