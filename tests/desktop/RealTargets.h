#pragma once

// Real programs from Debian as paste targets, for the desktop tests and the input benchmark: a
// GTK 3 entry, a GTK 3 password entry, a GTK 4 entry and a Tk entry (tests/desktop/real_target.py
// on the system python), a Qt line edit (input_target_window), a Firefox text area (its page reports
// to a loopback server run here), and xterm, rxvt-unicode and xfce4-terminal (a reader in the
// terminal reports every byte it gets, with bracketed paste on as shells have it).
//
// Every target reports its whole text after each change with the monotonic time of the change, so
// callers see what arrived, when, and (terminals) how many pastes began. Every wait is bounded;
// stop() (and the destructor) ends the program and everything it started.
#include <QByteArray>
#include <QList>
#include <QProcess>
#include <QString>
#include <QStringList>

#include <functional>
#include <memory>
#include <string>

class QTcpServer;

namespace quillory::test {

/// The ids makeRealTarget() knows, in the order the matrix runs them.
QStringList realTargetIds();
bool isTerminalTarget(const QString& id);

class RealTarget {
public:
    virtual ~RealTarget();
    RealTarget(const RealTarget&) = delete;
    RealTarget& operator=(const RealTarget&) = delete;

    const QString& id() const { return id_; }
    /// Starts the program and waits (bounded) until its field has the keyboard focus; false with
    /// the reason in `why()` otherwise.
    bool start();
    /// Gives the window the keyboard focus (as a pager would) and waits until the field has it.
    bool focus(int timeoutMs = 10000);
    /// Whether the window is the active one and its field reports the focus.
    bool hasFocus();
    void stop();
    bool running() const { return process_.state() != QProcess::NotRunning; }

    /// The field's whole text (terminals: everything received, paste markers taken out).
    QString text();
    /// When the text last changed (CLOCK_MONOTONIC, ns).
    qint64 textNs() const { return textNs_; }
    /// Terminals: how many bracketed pastes began.
    int pastes() const { return pastes_; }
    /// Terminals: every byte received, markers included.
    QByteArray rawBytes() const { return raw_; }
    /// Runs the event loop until `done` holds, at most `timeoutMs`.
    bool waitFor(const std::function<bool()>& done, int timeoutMs);
    /// The text after what was there at the last mark().
    void mark();
    QString textSinceMark();
    std::string why() const { return why_.toStdString(); }
    /// What the target reported, for failure messages.
    std::string transcript() const;

protected:
    RealTarget(QString id, QByteArray windowClass);
    /// Starts the program (QProcess `process_` or otherwise); false with why_ set.
    virtual bool launch() = 0;
    /// Reads what arrived since the last call and hands each line to take().
    virtual void pump() = 0;
    virtual int startTimeoutMs() const { return 30000; }
    /// Once focused: whatever the program needs before it takes keys reliably.
    virtual bool settle() { return true; }
    void take(const QByteArray& line);

    QString id_;
    QByteArray windowClass_;
    QProcess process_;
    QString why_;

private:
    unsigned long window_ = 0;
    bool reportsFocus_ = false;
    bool fieldFocused_ = false;
    QString text_;
    qint64 textNs_ = 0;
    int pastes_ = 0;
    QByteArray raw_;
    int markLength_ = 0;
    QList<QByteArray> lines_;
};

/// One of realTargetIds(): "qt", "gtk3", "gtk3-password" (its field holds `kSecret` from the
/// start), "gtk4", "tk", "firefox", "xterm", "urxvt", "xfce4-terminal". `workDir` holds report files
/// and the browser profile (kept and reused by later Firefox targets of the same folder).
std::unique_ptr<RealTarget> makeRealTarget(const QString& id, const QString& workDir);

inline constexpr const char* kSecret = "hunter2-secret";

/// The name and class of the window that has the keyboard focus, for failure messages.
std::string activeWindowDescription();

} // namespace quillory::test
