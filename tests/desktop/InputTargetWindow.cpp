// A second application for the text insertion tests: one window with a line edit that reports
// what reaches it, and a clipboard it can fill and read as another X client would.
//
//   input_target_window [--password] [-name INSTANCE]
//
// stdout, one line each: "ready" (we have the keyboard) and "inactive" (we lost it), "text <monotonic ns> <base64 utf-8>" on every change,
// "key <modifiers> <key name>" for every key press with Ctrl held, answers to the commands.
// stdin commands: "copy-multi", "copy <base64 utf-8>", "dump" (answers "clip <format> <base64>"
// lines and "end"), "set <base64 utf-8>" (the field's text, answers "set"), "focus", "refocus" (the
// line edit loses the focus and takes it again: fresh focus events for accessibility clients).
#include <QApplication>
#include <QClipboard>
#include <QKeyEvent>
#include <QLineEdit>
#include <QMimeData>
#include <QSocketNotifier>
#include <QTextStream>
#include <QTimer>
#include <QVBoxLayout>
#include <QWidget>

#include <cstdio>
#include <ctime>
#include <unistd.h>

namespace {

void say(const QByteArray& line) {
    std::fwrite(line.constData(), 1, size_t(line.size()), stdout);
    std::fputc('\n', stdout);
    std::fflush(stdout);
}

qint64 monotonicNs() {
    timespec ts{};
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return qint64(ts.tv_sec) * 1000000000 + ts.tv_nsec;
}

class KeyReporter : public QObject {
public:
    using QObject::QObject;
    bool eventFilter(QObject* watched, QEvent* event) override {
        if (event->type() == QEvent::KeyPress) {
            const auto* key = static_cast<QKeyEvent*>(event);
            const bool modifierKey = key->key() == Qt::Key_Control || key->key() == Qt::Key_Shift ||
                                     key->key() == Qt::Key_Alt || key->key() == Qt::Key_Meta ||
                                     key->key() == Qt::Key_Super_L || key->key() == Qt::Key_Super_R;
            if ((key->modifiers() & Qt::ControlModifier) && !modifierKey) {
                QByteArray mods = "ctrl";
                if (key->modifiers() & Qt::ShiftModifier) {
                    mods += "+shift";
                }
                if (key->modifiers() & Qt::AltModifier) {
                    mods += "+alt";
                }
                if (key->modifiers() & Qt::MetaModifier) {
                    mods += "+meta";
                }
                say("key " + mods + " " + QKeySequence(key->key()).toString().toUtf8());
            }
        }
        return QObject::eventFilter(watched, event);
    }
};

} // namespace

int main(int argc, char** argv) {
    qputenv("QT_QPA_PLATFORM", "xcb");
    QApplication app(argc, argv);
    const bool password = app.arguments().contains(QStringLiteral("--password"));

    QWidget window;
    window.setWindowTitle(password ? QStringLiteral("password target") : QStringLiteral("paste target"));
    auto* layout = new QVBoxLayout(&window);
    auto* edit = new QLineEdit(&window);
    edit->setObjectName(QStringLiteral("target"));
    edit->setAccessibleName(QStringLiteral("target"));
    if (password) {
        edit->setEchoMode(QLineEdit::Password);
    }
    layout->addWidget(edit);
    KeyReporter reporter;
    edit->installEventFilter(&reporter);
    QObject::connect(edit, &QLineEdit::textChanged, [](const QString& text) {
        say("text " + QByteArray::number(monotonicNs()) + " " + text.toUtf8().toBase64());
    });

    QSocketNotifier commands(STDIN_FILENO, QSocketNotifier::Read);
    QByteArray pending;
    QObject::connect(&commands, &QSocketNotifier::activated, [&] {
        char buffer[4096];
        const ssize_t n = ::read(STDIN_FILENO, buffer, sizeof buffer);
        if (n <= 0) {
            app.quit(); // the test went away
            return;
        }
        pending.append(buffer, n);
        qsizetype end;
        while ((end = pending.indexOf('\n')) >= 0) {
            const QByteArray line = pending.left(end);
            pending.remove(0, end + 1);
            const QByteArray command = line.split(' ').value(0);
            const QByteArray argument = QByteArray::fromBase64(line.split(' ').value(1));
            QClipboard* clipboard = QGuiApplication::clipboard();
            if (command == "copy-multi") {
                auto* data = new QMimeData;
                data->setText(QStringLiteral("before"));
                data->setHtml(QStringLiteral("<b>before</b>"));
                data->setData(QStringLiteral("application/x-quillory-test"), QByteArray("\x00\x01\xfe\xff", 4));
                clipboard->setMimeData(data);
                say("copied");
            } else if (command == "copy") {
                clipboard->setText(QString::fromUtf8(argument));
                say("copied");
            } else if (command == "dump") {
                const QMimeData* data = clipboard->mimeData();
                for (const QString& format : data ? data->formats() : QStringList()) {
                    say("clip " + format.toUtf8() + " " + data->data(format).toBase64());
                }
                say("end");
            } else if (command == "set") {
                edit->setText(QString::fromUtf8(argument));
                say("set");
            } else if (command == "refocus") {
                edit->clearFocus();
                edit->setFocus();
            } else if (command == "focus") {
                window.raise();
                window.activateWindow();
                edit->setFocus();
            }
        }
    });

    window.resize(400, 80);
    window.show();
    window.activateWindow();
    edit->setFocus();
    // "ready" each time the window manager gives us the keyboard, "inactive" when it takes it.
    QTimer* poll = new QTimer(&app);
    bool active = false;
    QObject::connect(poll, &QTimer::timeout, [&] {
        const bool now = window.isActiveWindow() && edit->hasFocus();
        if (now != active) {
            active = now;
            say(now ? "ready" : "inactive");
        }
    });
    poll->start(10);
    return app.exec();
}
