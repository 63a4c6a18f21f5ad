#pragma once

#include <QLocalServer>
#include <QObject>
#include <QString>

#include <functional>

namespace quillory::remote {

/// The per-user socket of the running tray app: "$XDG_RUNTIME_DIR/quillory/app.socket", or, without
/// a usable runtime folder, "/tmp/quillory-<uid>/app.socket"; $QUILLORY_APP_SOCKET overrides both. The folder is created private (0700).
QString socketPath();
/// Creates the socket's folder (mode 0700) and checks that it belongs to this user. False with the
/// reason otherwise.
bool prepareSocketFolder(const QString& socket, QString* error);

/// One request/reply exchange with the running app. The request is one line ("toggle\n"); the
/// reply is one line: "ok", "ok TEXT" or "error TEXT".
struct Reply {
    enum class Kind { noApp, ok, error };
    Kind kind = Kind::noApp;
    QString text;
};

/// Sends `command` to the app listening on `path` and waits (blocking, at most `timeoutMs`) for the
/// reply. `noApp` when nothing listens there (or it does not answer in time).
Reply send(const QString& command, const QString& path = socketPath(), int timeoutMs = 3000);

/// The app's side: answers one command per connection through `handler`.
class Server : public QObject {
    Q_OBJECT
public:
    /// Returns "" (or "ok TEXT"-style text through `Result`) for success.
    struct Result {
        bool ok = true;
        QString text;
    };
    using Handler = std::function<Result(const QString& command)>;

    explicit Server(Handler handler, QObject* parent = nullptr);
    ~Server() override;

    enum class Listen { listening, anotherInstance, failed };
    /// Listens on `path`. When another app answers there, `anotherInstance`; a socket file left by
    /// a run that crashed (nothing answers) is removed and taken over.
    Listen listen(const QString& path, QString* error = nullptr);
    QString path() const { return server_.fullServerName(); }
    void close();

private:
    void accept();

    Handler handler_;
    QLocalServer server_;
};

} // namespace quillory::remote
