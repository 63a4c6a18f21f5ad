#include "RealTargets.h"

#include <QDir>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QFile>
#include <QHostAddress>
#include <QMap>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTest>
#include <QTimer>

#include <csignal>
#include <ctime>

// X11 last: its macros (None, Bool, Status...) break the headers above.
#include <X11/Xatom.h>
#include <X11/Xlib.h>
#include <X11/Xutil.h>
#include <X11/extensions/XTest.h>

namespace quillory::test {

namespace {

qint64 nowNs() {
    timespec ts{};
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return qint64(ts.tv_sec) * 1000000000 + ts.tv_nsec;
}

Display* display() {
    static Display* d = XOpenDisplay(nullptr);
    return d;
}

std::vector<Window> windowList(const char* property) {
    std::vector<Window> out;
    Display* d = display();
    if (!d) {
        return out;
    }
    Atom type = 0;
    int format = 0;
    unsigned long count = 0, after = 0;
    unsigned char* data = nullptr;
    if (XGetWindowProperty(d, DefaultRootWindow(d), XInternAtom(d, property, False), 0, 4096, False, XA_WINDOW,
                           &type, &format, &count, &after, &data) == Success &&
        data && format == 32) {
        const auto* ids = reinterpret_cast<const unsigned long*>(data);
        out.assign(ids, ids + count);
    }
    if (data) {
        XFree(data);
    }
    return out;
}

Window activeWindow() {
    const auto active = windowList("_NET_ACTIVE_WINDOW");
    return active.empty() ? 0 : active.front();
}

/// "instance.Class" of a window, empty when it has none.
QByteArray windowClassOf(Window w) {
    XClassHint hint{};
    if (!display() || !w || !XGetClassHint(display(), w, &hint)) {
        return {};
    }
    QByteArray out = QByteArray(hint.res_name ? hint.res_name : "") + '.' + (hint.res_class ? hint.res_class : "");
    if (hint.res_name) {
        XFree(hint.res_name);
    }
    if (hint.res_class) {
        XFree(hint.res_class);
    }
    return out;
}

Window findClient(const QByteArray& wanted) {
    Window found = 0;
    for (Window w : windowList("_NET_CLIENT_LIST")) {
        for (const QByteArray& part : windowClassOf(w).split('.')) {
            if (part.compare(wanted, Qt::CaseInsensitive) == 0) {
                found = w; // the newest one
            }
        }
    }
    return found;
}

/// Asks the window manager to activate `w`, as a pager or a user's click would.
void requestActivation(Window w) {
    Display* d = display();
    XEvent e{};
    e.xclient.type = ClientMessage;
    e.xclient.window = w;
    e.xclient.message_type = XInternAtom(d, "_NET_ACTIVE_WINDOW", False);
    e.xclient.format = 32;
    e.xclient.data.l[0] = 2; // from a pager: honoured even without a recent user action
    e.xclient.data.l[1] = CurrentTime;
    XSendEvent(d, DefaultRootWindow(d), False, SubstructureRedirectMask | SubstructureNotifyMask, &e);
    XFlush(d);
}

void tapKey(const char* keysymName) {
    Display* d = display();
    const auto code = XKeysymToKeycode(d, XStringToKeysym(keysymName));
    XTestFakeKeyEvent(d, code, True, CurrentTime);
    XTestFakeKeyEvent(d, code, False, CurrentTime);
    XSync(d, False);
}

/// Ends a program politely, then for good; its own children go with it where they share its group.
void endProcess(QProcess& process) {
    if (process.state() == QProcess::NotRunning) {
        return;
    }
    process.closeWriteChannel();
    process.terminate();
    if (!process.waitForFinished(8000)) {
        process.kill();
        process.waitForFinished(3000);
    }
}

/// What every target runs with: a UTF-8 locale (terminals ask the clipboard for UTF-8 text only
/// in one), GTK on X11 without GL.
QProcessEnvironment targetEnvironment() {
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert(QStringLiteral("LC_ALL"), QStringLiteral("C.UTF-8"));
    env.insert(QStringLiteral("GDK_BACKEND"), QStringLiteral("x11"));
    env.insert(QStringLiteral("GSK_RENDERER"), QStringLiteral("cairo"));
    return env;
}

QString python() {
    return QStringLiteral(QUILLORY_SYSTEM_PYTHON);
}

QString script() {
    return QStringLiteral(QUILLORY_REAL_TARGET_SCRIPT);
}

/// A target that writes its report lines to its standard output.
class StdoutTarget final : public RealTarget {
public:
    StdoutTarget(QString id, QByteArray windowClass, QString program, QStringList args)
        : RealTarget(std::move(id), std::move(windowClass)), program_(std::move(program)), args_(std::move(args)) {}

protected:
    bool launch() override {
        process_.setProcessChannelMode(QProcess::ForwardedErrorChannel);
        process_.setProcessEnvironment(targetEnvironment());
        process_.start(program_, args_);
        if (!process_.waitForStarted(10000)) {
            why_ = QStringLiteral("%1 did not start: %2").arg(program_, process_.errorString());
            return false;
        }
        return true;
    }
    void pump() override {
        while (process_.canReadLine()) {
            take(process_.readLine().trimmed());
        }
    }

private:
    QString program_;
    QStringList args_;
};

/// A terminal running the reader of real_target.py, which appends its lines to a report file.
class TerminalTarget final : public RealTarget {
public:
    TerminalTarget(QString id, QByteArray windowClass, QString program, QStringList argsBeforeCommand,
                   QString report)
        : RealTarget(std::move(id), std::move(windowClass)), program_(std::move(program)),
          args_(std::move(argsBeforeCommand)), report_(std::move(report)) {}

protected:
    bool launch() override {
        QFile::remove(report_);
        process_.setProcessEnvironment(targetEnvironment());
        process_.setProcessChannelMode(QProcess::ForwardedErrorChannel);
        process_.start(program_, args_ + QStringList{python(), script(), QStringLiteral("tty"), report_});
        if (!process_.waitForStarted(10000)) {
            why_ = QStringLiteral("%1 did not start: %2").arg(program_, process_.errorString());
            return false;
        }
        return true;
    }
    void pump() override {
        QFile file(report_);
        if (!file.open(QIODevice::ReadOnly) || !file.seek(offset_)) {
            return;
        }
        for (;;) {
            const QByteArray line = file.readLine();
            if (!line.endsWith('\n')) {
                break; // a line still being written: read it whole next time
            }
            offset_ += line.size();
            take(line.trimmed());
        }
    }

private:
    QString program_;
    QStringList args_;
    QString report_;
    qint64 offset_ = 0;
};

/// Firefox (the ESR Debian ships) with a fresh profile, showing a page with one text area served
/// by a loopback server here; the page posts its text and focus to the same server.
class FirefoxTarget final : public RealTarget {
public:
    explicit FirefoxTarget(QString workDir)
        : RealTarget(QStringLiteral("firefox"), "firefox-esr"), workDir_(std::move(workDir)) {}
    ~FirefoxTarget() override { stop(); } // before the server its sockets belong to goes

protected:
    int startTimeoutMs() const override { return 90000; } // a cold start on a loaded machine
    bool launch() override {
        server_ = std::make_unique<QTcpServer>();
        if (!server_->listen(QHostAddress::LocalHost, 0)) {
            why_ = QStringLiteral("no loopback port: %1").arg(server_->errorString());
            return false;
        }
        QObject::connect(server_.get(), &QTcpServer::newConnection, [this] {
            while (QTcpSocket* s = server_->nextPendingConnection()) {
                QObject::connect(s, &QTcpSocket::readyRead, [this, s] { serve(s); });
                QObject::connect(s, &QTcpSocket::disconnected, s, &QObject::deleteLater);
            }
        });
        const QString profile = workDir_ + QStringLiteral("/firefox-profile");
        QDir().mkpath(profile);
        QFile prefs(profile + QStringLiteral("/user.js"));
        if (!prefs.open(QIODevice::WriteOnly | QIODevice::Truncate)) {
            why_ = QStringLiteral("cannot write the profile's user.js");
            return false;
        }
        // A quiet first start with no network: no first-run pages, updates, reports or checks.
        for (const char* pref : {
                 R"(user_pref("browser.shell.checkDefaultBrowser", false);)",
                 R"(user_pref("browser.startup.homepage_override.mstone", "ignore");)",
                 R"(user_pref("browser.aboutwelcome.enabled", false);)",
                 R"(user_pref("datareporting.policy.dataSubmissionEnabled", false);)",
                 R"(user_pref("toolkit.telemetry.reportingpolicy.firstRun", false);)",
                 R"(user_pref("app.update.enabled", false);)",
                 R"(user_pref("app.normandy.enabled", false);)",
                 R"(user_pref("extensions.update.enabled", false);)",
                 R"(user_pref("browser.safebrowsing.update.enabled", false);)",
                 R"(user_pref("network.captive-portal-service.enabled", false);)",
                 R"(user_pref("network.connectivity-service.enabled", false);)",
                 R"(user_pref("browser.sessionstore.resume_from_crash", false);)",
                 R"(user_pref("toolkit.startup.max_resumed_crashes", -1);)",
             }) {
            prefs.write(pref);
            prefs.write("\n");
        }
        prefs.close();
        QProcessEnvironment env = targetEnvironment();
        env.insert(QStringLiteral("MOZ_CRASHREPORTER_DISABLE"), QStringLiteral("1"));
        process_.setProcessEnvironment(env);
        process_.setProcessChannelMode(QProcess::ForwardedErrorChannel);
        process_.start(QStringLiteral("firefox-esr"),
                       {"--no-remote", "--new-instance", "--profile", profile, "--kiosk",
                        QStringLiteral("http://127.0.0.1:%1/").arg(server_->serverPort())});
        if (!process_.waitForStarted(10000)) {
            why_ = QStringLiteral("firefox-esr did not start: %1").arg(process_.errorString());
            return false;
        }
        return true;
    }
    // The page may say it has the focus before key events reach it: a key typed and erased again
    // shows that they do.
    bool settle() override {
        QElapsedTimer clock;
        clock.start();
        while (clock.elapsed() < 30000 && running()) {
            tapKey("x");
            if (waitFor([&] { return text().endsWith(QLatin1Char('x')); }, 2000)) {
                for (int i = 0; i < 20 && !text().isEmpty(); ++i) {
                    tapKey("BackSpace");
                    waitFor([&] { return text().isEmpty(); }, 1000);
                }
                return text().isEmpty();
            }
        }
        return false;
    }
    void pump() override {
        while (!pending_.isEmpty()) {
            take(pending_.takeFirst());
        }
    }
private:
    static constexpr const char* kPage = R"(<!doctype html>
<html><head><meta charset="utf-8"><title>browser paste target</title></head>
<body><textarea id="t" autofocus style="width:90%;height:200px"></textarea>
<script>
const t = document.getElementById("t");
let seq = 0;
function post(kind, body) { fetch("/" + kind + "?" + (++seq), {method: "POST", body: body, keepalive: true}); }
t.addEventListener("input", () => post("text", t.value));
function focusState() { post(document.hasFocus() && document.activeElement === t ? "ready" : "inactive", ""); }
for (const e of ["focus", "blur"]) { t.addEventListener(e, focusState); window.addEventListener(e, focusState); }
t.focus();
focusState();
</script></body></html>)";

    void serve(QTcpSocket* s) {
        const qint64 arrived = nowNs();
        QByteArray& buffer = buffers_[s];
        buffer += s->readAll();
        const qsizetype headerEnd = buffer.indexOf("\r\n\r\n");
        if (headerEnd < 0) {
            return;
        }
        const QByteArray head = buffer.left(headerEnd);
        qsizetype length = 0;
        for (const QByteArray& h : head.split('\n')) {
            if (h.toLower().startsWith("content-length:")) {
                length = h.mid(15).trimmed().toLongLong();
            }
        }
        if (buffer.size() < headerEnd + 4 + length) {
            return;
        }
        const QByteArray body = buffer.mid(headerEnd + 4, length);
        buffers_.remove(s);
        const QList<QByteArray> requestLine = head.left(head.indexOf('\r')).split(' ');
        const QByteArray method = requestLine.value(0);
        const QByteArray path = requestLine.value(1);
        if (method == "GET" && path == "/") {
            const QByteArray page(kPage);
            s->write("HTTP/1.1 200 OK\r\nContent-Type: text/html; charset=utf-8\r\nConnection: close\r\n"
                     "Cache-Control: no-store\r\nContent-Length: " +
                     QByteArray::number(page.size()) + "\r\n\r\n" + page);
        } else if (method == "POST") {
            const QByteArray kind = path.mid(1, path.indexOf('?') - 1);
            const long seq = path.mid(path.indexOf('?') + 1).toLong();
            // Requests may overtake each other: only a newer report counts.
            if (seq > lastSeq_) {
                lastSeq_ = seq;
                if (kind == "text") {
                    pending_ << "text " + QByteArray::number(arrived) + ' ' + body.toBase64();
                } else {
                    pending_ << kind;
                }
            }
            s->write("HTTP/1.1 204 No Content\r\nConnection: close\r\n\r\n");
        } else {
            s->write("HTTP/1.1 404 Not Found\r\nConnection: close\r\nContent-Length: 0\r\n\r\n");
        }
        s->disconnectFromHost();
    }

    QString workDir_;
    std::unique_ptr<QTcpServer> server_;
    QMap<QTcpSocket*, QByteArray> buffers_;
    QList<QByteArray> pending_;
    long lastSeq_ = 0;
};

} // namespace

QStringList realTargetIds() {
    return {"qt", "gtk3", "gtk3-password", "gtk4", "tk", "firefox", "xterm", "urxvt", "xfce4-terminal"};
}

bool isTerminalTarget(const QString& id) {
    return id == QLatin1String("xterm") || id == QLatin1String("urxvt") || id == QLatin1String("xfce4-terminal");
}

RealTarget::RealTarget(QString id, QByteArray windowClass) : id_(std::move(id)), windowClass_(std::move(windowClass)) {}

RealTarget::~RealTarget() {
    stop();
}

bool RealTarget::start() {
    if (!display()) {
        why_ = QStringLiteral("no X display");
        return false;
    }
    if (!launch()) {
        return false;
    }
    QElapsedTimer clock;
    clock.start();
    const bool mapped = waitFor([&] { return (window_ = findClient(windowClass_)) != 0 || !running(); },
                                startTimeoutMs());
    if (!mapped || !window_) {
        why_ = QStringLiteral("%1: no window of class %2 after %3 ms%4")
                   .arg(id_, QString::fromLatin1(windowClass_))
                   .arg(clock.elapsed())
                   .arg(running() ? QString() : QStringLiteral(" (the program exited)"));
        return false;
    }
    // The field reports its focus once it has settled ("ready"); programs that cannot say so are
    // judged by the active window alone.
    if (!focus(std::max(10000, startTimeoutMs() - int(clock.elapsed())))) {
        why_ = QStringLiteral("%1: its field never got the keyboard focus (active window: %2) | %3")
                   .arg(id_, QString::fromStdString(activeWindowDescription()), QString::fromStdString(transcript()));
        return false;
    }
    if (!settle()) {
        why_ = QStringLiteral("%1: typed keys never reached its field | %2").arg(id_, QString::fromStdString(transcript()));
        return false;
    }
    return true;
}

bool RealTarget::focus(int timeoutMs) {
    QElapsedTimer clock;
    clock.start();
    while (clock.elapsed() < timeoutMs && running()) {
        if (activeWindow() != window_) {
            requestActivation(window_);
        }
        // Focus must hold a moment: a window manager may still be handing it around.
        if (waitFor([&] { return hasFocus(); }, 2000) && !waitFor([&] { return !hasFocus(); }, 150)) {
            return true;
        }
    }
    return false;
}

bool RealTarget::hasFocus() {
    pump();
    return window_ && activeWindow() == window_ && (!reportsFocus_ || fieldFocused_);
}

void RealTarget::stop() {
    endProcess(process_);
}

QString RealTarget::text() {
    pump();
    return text_;
}

bool RealTarget::waitFor(const std::function<bool()>& done, int timeoutMs) {
    QElapsedTimer clock;
    clock.start();
    for (;;) {
        pump();
        if (done()) {
            return true;
        }
        if (clock.elapsed() >= timeoutMs) {
            return false;
        }
        QTest::qWait(10);
    }
}

void RealTarget::mark() {
    markLength_ = int(text().size());
}

QString RealTarget::textSinceMark() {
    return text().mid(markLength_);
}

std::string RealTarget::transcript() const {
    QByteArrayList shown;
    for (const QByteArray& l : lines_) {
        if (l.startsWith("text ")) {
            shown << "text " + QByteArray::fromBase64(l.split(' ').value(2));
        } else if (!l.startsWith("raw ")) {
            shown << l;
        }
    }
    return QString::fromUtf8(shown.join(" | ")).toStdString() + " | raw bytes: " + raw_.toHex(' ').toStdString();
}

void RealTarget::take(const QByteArray& line) {
    lines_ << line;
    if (line == "ready" || line == "inactive") {
        reportsFocus_ = true;
        fieldFocused_ = line == "ready";
    } else if (line.startsWith("text ")) {
        const QList<QByteArray> parts = line.split(' ');
        textNs_ = parts.value(1).toLongLong();
        text_ = QString::fromUtf8(QByteArray::fromBase64(parts.value(2)));
    } else if (line.startsWith("paste ")) {
        pastes_ = line.mid(6).toInt();
    } else if (line.startsWith("raw ")) {
        raw_ += QByteArray::fromBase64(line.mid(4));
    }
}

std::unique_ptr<RealTarget> makeRealTarget(const QString& id, const QString& workDir) {
    const QString report = workDir + QStringLiteral("/%1.report").arg(id);
    if (id == QLatin1String("qt")) {
        return std::make_unique<StdoutTarget>(id, "input_target_window", QStringLiteral(QUILLORY_INPUT_TARGET_WINDOW),
                                              QStringList{});
    }
    if (id == QLatin1String("gtk3")) {
        return std::make_unique<StdoutTarget>(id, "quillory-gtk3-target", python(), QStringList{script(), "gtk3"});
    }
    if (id == QLatin1String("gtk3-password")) {
        return std::make_unique<StdoutTarget>(id, "quillory-gtk3-target", python(),
                                              QStringList{script(), "gtk3", "--password", "--text", kSecret});
    }
    if (id == QLatin1String("gtk4")) {
        return std::make_unique<StdoutTarget>(id, "quillory-gtk4-target", python(), QStringList{script(), "gtk4"});
    }
    if (id == QLatin1String("tk")) {
        return std::make_unique<StdoutTarget>(id, "quillory-tk-target", python(), QStringList{script(), "tk"});
    }
    if (id == QLatin1String("firefox")) {
        return std::make_unique<FirefoxTarget>(workDir);
    }
    if (id == QLatin1String("xterm")) {
        return std::make_unique<TerminalTarget>(id, "XTerm", QStringLiteral("xterm"), QStringList{"-e"}, report);
    }
    if (id == QLatin1String("urxvt")) {
        return std::make_unique<TerminalTarget>(id, "URxvt", QStringLiteral("urxvt"), QStringList{"-e"}, report);
    }
    if (id == QLatin1String("xfce4-terminal")) {
        return std::make_unique<TerminalTarget>(id, "Xfce4-terminal", QStringLiteral("xfce4-terminal"),
                                                QStringList{"--disable-server", "-x"}, report);
    }
    return nullptr;
}

std::string activeWindowDescription() {
    const Window w = activeWindow();
    if (!w) {
        return "none";
    }
    return QStringLiteral("0x%1 %2").arg(w, 0, 16).arg(QString::fromLatin1(windowClassOf(w))).toStdString();
}

} // namespace quillory::test
