#include "Cli/Cli.h"
#include "Cli/RemoteChannel.h"
#include "Runtime/Localization.h"

namespace quillory::cli {

// One request to the running tray app over its per-user socket. Silent on success (except
// `status`, which prints the status); exit 1 with one clear line when no app runs.
int remoteCommand(const QString& name, const QStringList& args, Io& io) {
    if (!args.isEmpty()) {
        return usageError(io, QStringLiteral("%1 takes no arguments").arg(name));
    }
    const remote::Reply reply = remote::send(name);
    switch (reply.kind) {
    case remote::Reply::Kind::noApp:
        return failure(io, Localization::text("cli.error.no_app"));
    case remote::Reply::Kind::error:
        return failure(io, Localization::format("cli.error.remote", reply.text));
    case remote::Reply::Kind::ok:
        break;
    }
    if (!reply.text.isEmpty()) {
        io.out << reply.text << Qt::endl;
    }
    return Ok;
}

} // namespace quillory::cli
