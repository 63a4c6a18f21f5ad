// Real programs from Debian as dictation targets, with the tray app up: each target gets one
// dictation (`quillory toggle`, speech through the pipe microphone, the tiny speech model) that
// lands in its field exactly once, the app returns to idle, and the user's clipboard — a text and
// an image/png format — is back afterwards. Fields: a Qt line edit, GTK 3, GTK 4 and Tk entries,
// a Firefox text area and a GTK 3 password entry that our accessibility layer never reads.
// Terminals: xterm, rxvt-unicode and xfce4-terminal (VTE), each with a reader that sees every byte.
//
// One app serves every case of a run; an app that stopped answering is killed and started again
// for the next case, so one frozen case fails alone and quickly.
#include "RealTargets.h"

#include <QBuffer>
#include <QClipboard>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QGuiApplication>
#include <QImage>
#include <QMimeData>
#include <QProcess>
#include <QRegularExpression>
#include <QTemporaryDir>
#include <QTest>

#include <gtest/gtest.h>

#include <atomic>
#include <cerrno>
#include <csignal>
#include <fcntl.h>
#include <thread>
#include <unistd.h>
#include <vector>

// Readable strings in failure messages.
inline void PrintTo(const QString& s, std::ostream* os) {
    *os << '"' << s.toStdString() << '"';
}

using quillory::test::makeRealTarget;
using quillory::test::RealTarget;

namespace {

const QString kUserText = QStringLiteral("the user's own words «コピー»");

QByteArray userImage() {
    QImage image(8, 8, QImage::Format_RGB32);
    image.fill(QColor(200, 30, 60));
    QByteArray png;
    QBuffer buffer(&png);
    buffer.open(QIODevice::WriteOnly);
    image.save(&buffer, "PNG");
    return png;
}

/// The samples of a 16-bit mono WAV file as floats (the speech fixtures' format).
std::vector<float> wavSamples(const QString& path) {
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly)) {
        return {};
    }
    const QByteArray bytes = file.readAll();
    const qsizetype data = bytes.indexOf("data");
    std::vector<float> samples;
    for (qsizetype i = data < 0 ? bytes.size() : data + 8; i + 1 < bytes.size(); i += 2) {
        samples.push_back(float(qint16(quint8(bytes[i]) | (quint8(bytes[i + 1]) << 8))) / 32768.0f);
    }
    return samples;
}

/// Writes samples into the desktop's pipe microphone at twice the speed of speech.
bool feedPipeMicrophone(const std::vector<float>& samples) {
    const int fd = ::open(qgetenv("QUILLORY_TEST_PIPE_SOURCE").constData(), O_WRONLY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) {
        return false;
    }
    std::size_t written = 0;
    for (int stalls = 0; written < samples.size() && stalls < 500;) {
        const std::size_t n = std::min<std::size_t>(320, samples.size() - written);
        const ssize_t done = ::write(fd, samples.data() + written, n * sizeof(float));
        if (done == ssize_t(n * sizeof(float))) {
            written += n;
            stalls = 0;
        } else if (done >= 0 || errno != EAGAIN) {
            break;
        } else {
            ++stalls;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    ::close(fd);
    return written == samples.size();
}

struct CommandRun {
    int exitCode = -1;
    QString out;
    QString err;
    bool timedOut = false;
};

class RealApps : public ::testing::TestWithParam<QString> {
protected:
    // Each suite gets its own app and folders.
    static void SetUpTestSuite() {
        dir_ = new QTemporaryDir();
        env_ = QProcessEnvironment::systemEnvironment();
        env_.insert(QStringLiteral("QUILLORY_APP_SOCKET"), dir_->path() + QStringLiteral("/run/app.socket"));
        env_.insert(QStringLiteral("XDG_CONFIG_HOME"), dir_->path() + QStringLiteral("/config"));
        env_.insert(QStringLiteral("XDG_DATA_HOME"), dir_->path() + QStringLiteral("/data"));
        env_.insert(QStringLiteral("QUILLORY_LANGUAGE"), QStringLiteral("en"));
        env_.insert(QStringLiteral("QUILLORY_WHISPER_THREADS"), QStringLiteral("1"));
        // The tiny speech model stands in for the default model in the app's own model folder.
        const QString models = dir_->path() + QStringLiteral("/data/quillory/SpeechModels");
        QDir().mkpath(models);
        QFile::link(qEnvironmentVariable("QUILLORY_TEST_WHISPER_MODEL"),
                    models + QStringLiteral("/ggml-kotoba-whisper-v2.0-q5_0.bin"));
        QFile::link(qEnvironmentVariable("QUILLORY_TEST_WHISPER_VAD_MODEL"),
                    models + QStringLiteral("/ggml-silero-v5.1.2.bin"));
        app_ = new QProcess();
    }
    static void TearDownTestSuite() {
        stopApp();
        delete app_;
        app_ = nullptr;
        delete dir_;
        dir_ = nullptr;
    }
    void SetUp() override {
        sentence_ = qEnvironmentVariable("QUILLORY_TEST_WHISPER_SENTENCE");
        ASSERT_FALSE(sentence_.isEmpty() || qEnvironmentVariableIsEmpty("QUILLORY_TEST_WHISPER_MODEL") ||
                     qEnvironmentVariableIsEmpty("QUILLORY_TEST_WHISPER_VAD_MODEL"))
            << "run through scripts/run-tests.sh: it sets up the tiny speech model (QUILLORY_TEST_WHISPER_*)";
        ASSERT_FALSE(qEnvironmentVariableIsEmpty("QUILLORY_TEST_PIPE_SOURCE")) << "no pipe microphone";
        speech_ = wavSamples(QStringLiteral(QUILLORY_FIXTURES "/speech/plain.wav"));
        ASSERT_GT(speech_.size(), 16000u);
    }

    static CommandRun quillory(const QStringList& args, int timeoutMs = 8000) {
        QProcess p;
        p.setProcessEnvironment(env_);
        p.start(QStringLiteral(QUILLORY_EXECUTABLE), args);
        CommandRun r;
        if (!p.waitForFinished(timeoutMs)) {
            p.kill();
            p.waitForFinished(2000);
            r.timedOut = true;
            return r;
        }
        r.exitCode = p.exitCode();
        r.out = QString::fromUtf8(p.readAllStandardOutput()).trimmed();
        r.err = QString::fromUtf8(p.readAllStandardError()).trimmed();
        return r;
    }
    /// The app's status line, or why there is none ("(no answer: ...)").
    static QString status() {
        const CommandRun r = quillory({"status"}, 4000);
        if (r.timedOut) {
            return QStringLiteral("(no answer within 4 s)");
        }
        return r.exitCode == 0 ? r.out : QStringLiteral("(no answer: %1)").arg(r.err);
    }
    static bool answering(const QString& s) { return !s.startsWith(QLatin1Char('(')); }
    /// For failure messages: an app that still runs but does not answer is frozen.
    static std::string frozenNote() {
        return app_->state() == QProcess::Running
                   ? " — the app still runs but no longer answers: it froze (a blocking accessibility call on its "
                     "main thread)"
                   : " — the app exited";
    }

    static void stopApp() {
        if (app_ && app_->state() != QProcess::NotRunning) {
            // A frozen app ignores SIGTERM: a short wait, then SIGKILL.
            app_->terminate();
            if (!app_->waitForFinished(3000)) {
                app_->kill();
                app_->waitForFinished(3000);
            }
        }
    }
    /// The app, running and idle: started (again) when it is not.
    static bool ensureApp(std::string* why) {
        if (app_->state() == QProcess::Running && status() == QLatin1String("idle")) {
            return true;
        }
        stopApp();
        if (quillory({"settings", "set", "quillory.firstLaunch.settingsOpened", "true", "--bool"}).exitCode != 0) {
            *why = "cannot write the app's settings";
            return false;
        }
        app_->setProcessEnvironment(env_);
        app_->setProcessChannelMode(QProcess::SeparateChannels);
        app_->setStandardOutputFile(dir_->path() + QStringLiteral("/app.out"), QIODevice::Append);
        app_->setStandardErrorFile(dir_->path() + QStringLiteral("/app.err"), QIODevice::Append);
        app_->start(QStringLiteral(QUILLORY_EXECUTABLE), {});
        if (!app_->waitForStarted(10000)) {
            *why = "the app did not start";
            return false;
        }
        QElapsedTimer clock;
        clock.start();
        while (clock.elapsed() < 30000 && app_->state() == QProcess::Running) {
            if (status() == QLatin1String("idle")) {
                return true;
            }
            QTest::qWait(200);
        }
        *why = "the app never answered idle on its socket: " + status().toStdString();
        return false;
    }
    static QByteArray appLog() {
        QFile log(dir_->path() + QStringLiteral("/data/quillory/Diagnostics/commit.log"));
        return log.open(QIODevice::ReadOnly) ? log.readAll() : QByteArray();
    }
    static QByteArray appOutput() {
        QByteArray all;
        for (const char* name : {"/app.out", "/app.err"}) {
            QFile f(dir_->path() + QLatin1String(name));
            if (f.open(QIODevice::ReadOnly)) {
                all += f.readAll();
            }
        }
        return all;
    }
    /// The lengths (in characters) of the insertions the app logged after `from` bytes of its log.
    static QList<int> insertedLengths(qsizetype from) {
        QList<int> lengths;
        static const QRegularExpression inject(QStringLiteral(R"(stage=inject_start session=\d+ len=(\d+))"));
        auto it = inject.globalMatch(QString::fromUtf8(appLog().mid(from)));
        while (it.hasNext()) {
            lengths << it.next().captured(1).toInt();
        }
        return lengths;
    }

    /// The user's clipboard: a text and a PNG image, owned by this process (another application).
    void copyUsersClipboard() {
        auto* data = new QMimeData;
        data->setText(kUserText);
        data->setData(QStringLiteral("image/png"), userImage());
        QGuiApplication::clipboard()->setMimeData(data);
    }
    /// Whether another owner now serves the user's text and image, byte for byte.
    static bool usersClipboardIsBack() {
        QClipboard* clipboard = QGuiApplication::clipboard();
        if (clipboard->ownsClipboard()) {
            return false; // still ours: nothing was pasted, or nobody put it back
        }
        const QMimeData* data = clipboard->mimeData();
        return data && data->text() == kUserText && data->data(QStringLiteral("image/png")) == userImage();
    }
    static std::string clipboardDescription() {
        const QMimeData* data = QGuiApplication::clipboard()->mimeData();
        if (!data) {
            return "empty";
        }
        std::string out = QGuiApplication::clipboard()->ownsClipboard() ? "(ours) " : "";
        for (const QString& f : data->formats()) {
            out += f.toStdString() + "=" + std::to_string(data->data(f).size()) + "B ";
        }
        return out + "text=\"" + data->text().toStdString() + "\"";
    }

    /// One dictation into `target` through the running app, with every check of the matrix.
    void dictateInto(RealTarget& target) {
        std::string why;
        ASSERT_TRUE(ensureApp(&why)) << why;
        copyUsersClipboard();
        ASSERT_TRUE(target.focus()) << target.id().toStdString() << " lost the focus to "
                                    << quillory::test::activeWindowDescription();
        target.mark();
        const qsizetype logBefore = appLog().size();

        const CommandRun start = quillory({"toggle"});
        ASSERT_EQ(start.exitCode, 0) << "toggle: " << start.err.toStdString() << (start.timedOut ? "(timed out)" : "")
                                     << frozenNote();
        QString s;
        ASSERT_TRUE(target.waitFor([&] { return (s = status()) == QLatin1String("recording") || !answering(s); }, 15000) &&
                    s == QLatin1String("recording"))
            << "after toggle the app says " << s.toStdString() << (answering(s) ? "" : frozenNote());

        std::vector<float> audio = speech_;
        audio.insert(audio.end(), 8000, 0.0f); // half a second of silence after the sentence
        std::atomic<bool> fed{false}, done{false};
        std::thread feeder([&] {
            fed = feedPipeMicrophone(audio);
            done = true;
        });
        target.waitFor([&] { return done.load(); }, 30000); // the event loop runs meanwhile
        feeder.join();
        ASSERT_TRUE(fed.load()) << "the pipe microphone did not take the audio";
        const CommandRun stop = quillory({"toggle"});
        ASSERT_EQ(stop.exitCode, 0) << "second toggle: " << stop.err.toStdString() << frozenNote();

        // Until the app is idle again (and what it pasted has arrived), or it stops answering.
        const QRegularExpression sentences(QStringLiteral("^(%1)+$").arg(QRegularExpression::escape(sentence_)));
        QElapsedTimer clock;
        clock.start();
        int silent = 0;
        qint64 idleAt = -1;
        while (clock.elapsed() < 45000) {
            if (target.waitFor([&] { return target.textSinceMark().contains(sentences); }, 500) && idleAt >= 0) {
                break;
            }
            s = status();
            silent = answering(s) ? 0 : silent + 1;
            if (silent >= 2) {
                break;
            }
            if (s == QLatin1String("idle") && idleAt < 0) {
                idleAt = clock.elapsed();
            }
            if (idleAt >= 0 && clock.elapsed() - idleAt > 2000) {
                break; // idle, and nothing more is on its way
            }
        }
        EXPECT_TRUE(answering(s)) << "the app stopped answering during the dictation (" << s.toStdString() << ")"
                                  << frozenNote();
        EXPECT_EQ(s, QStringLiteral("idle")) << "the dictation did not finish";

        // Exactly one insertion, and exactly its text in the field.
        const QList<int> lengths = insertedLengths(logBefore);
        ASSERT_EQ(lengths.size(), 1) << "insertions logged: " << lengths.size() << "\n"
                                     << appLog().mid(logBefore).toStdString();
        ASSERT_EQ(lengths.first() % sentence_.size(), 0) << "the app inserted " << lengths.first() << " characters";
        const QString expected = sentence_.repeated(lengths.first() / sentence_.size());
        EXPECT_EQ(target.textSinceMark(), expected)
            << target.id().toStdString() << " received something else: " << target.transcript();
        if (quillory::test::isTerminalTarget(target.id())) {
            EXPECT_FALSE(target.rawBytes().contains('\x16'))
                << target.id().toStdString() << " got a literal ^V: it takes no Ctrl+V or Ctrl+Shift+V paste";
            EXPECT_EQ(target.pastes(), 1) << "one bracketed paste expected: " << target.transcript();
        }
        EXPECT_TRUE(appLog().mid(logBefore).contains("result=ok")) << appLog().mid(logBefore).toStdString();

        // The user's clipboard comes back, both formats, served by the app (the restore waits up to
        // 3 s for the target's read, and a loaded machine adds its own delays).
        EXPECT_TRUE(target.waitFor([] { return usersClipboardIsBack(); }, 20000))
            << "the clipboard after the dictation: " << clipboardDescription();
    }

    static inline QTemporaryDir* dir_ = nullptr;
    static inline QProcessEnvironment env_;
    static inline QProcess* app_ = nullptr;
    QString sentence_;
    std::vector<float> speech_;
};

std::string targetName(const ::testing::TestParamInfo<QString>& info) {
    return QString(info.param).replace(QLatin1Char('-'), QLatin1Char('_')).toStdString();
}

} // namespace

TEST_P(RealApps, ADictationLandsOnceAndTheUsersClipboardComesBack) {
    const std::unique_ptr<RealTarget> target = makeRealTarget(GetParam(), dir_->path());
    ASSERT_TRUE(target);
    ASSERT_TRUE(target->start()) << target->why();
    dictateInto(*target);
    target->stop();
}

// The password field: the paste lands, but neither the app nor our accessibility layer on its
// own ever reads the secret.
class RealAppsPassword : public RealApps {};

TEST_F(RealAppsPassword, AGtkPasswordEntryTakesTheDictationAndIsNeverRead) {
    const std::unique_ptr<RealTarget> target = makeRealTarget(QStringLiteral("gtk3-password"), dir_->path());
    ASSERT_TRUE(target->start()) << target->why();
    ASSERT_TRUE(target->waitFor([&] { return target->text() == QLatin1String(quillory::test::kSecret); }, 5000));

    QProcess probe;
    probe.start(QStringLiteral(QUILLORY_FOCUS_PROBE), {"AXSecureTextField"});
    // (The event loop runs meanwhile: the probe may ask this process over the accessibility bus too.)
    const bool finished = QTest::qWaitFor([&] { return probe.state() == QProcess::NotRunning; }, 20000);
    if (!finished) {
        probe.kill();
        probe.waitForFinished(2000);
    }
    const QByteArray found = probe.readAllStandardOutput().trimmed();
    EXPECT_TRUE(finished) << "reading the focused field hung (a blocking accessibility call)";
    if (finished) {
        EXPECT_EQ(found, "role=AXSecureTextField value=unread baseline=none");
        EXPECT_FALSE(found.contains(QByteArray(quillory::test::kSecret).toBase64()));
    }

    dictateInto(*target);
    EXPECT_FALSE(appLog().contains(quillory::test::kSecret));
    EXPECT_FALSE(appOutput().contains(quillory::test::kSecret));
    target->stop();
}

INSTANTIATE_TEST_SUITE_P(Fields, RealApps,
                         ::testing::Values(QStringLiteral("qt"), QStringLiteral("gtk3"), QStringLiteral("gtk4"),
                                           QStringLiteral("tk"), QStringLiteral("firefox")),
                         targetName);
INSTANTIATE_TEST_SUITE_P(Terminals, RealApps,
                         ::testing::Values(QStringLiteral("xterm"), QStringLiteral("urxvt"),
                                           QStringLiteral("xfce4-terminal")),
                         targetName);
