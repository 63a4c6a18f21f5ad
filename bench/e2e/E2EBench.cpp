// What the user waits for: from releasing push-to-talk to the text in a real target (a GTK 3 entry
// of another program), with the tray app running in a private desktop (it starts one for itself).
// Push-to-talk is held with the app's remote "press" and "release" commands (sent straight to its
// socket, so no command-line process start is counted), and the speech goes into the pipe
// microphone at the speed of speech while the keys are held.
//
// Beside each row, the naive baseline a user could script with the same audio already recorded:
// whisper-cli on the whole file (same model, same threads), then `quillory paste` of its text.
//
// Utterances, built from the committed fixtures (tests/fixtures/speech): 2 s (the start of
// plain.wav), 15 s with pauses (pauses.wav, a second of silence, the start of plain.wav) and 60 s
// (the fixtures one after another with a second of silence between them).
// With QUILLORY_TEST_WHISPER_SERVER (whisper.cpp's whisper-server; scripts/run-bench.sh sets it) and
// the tiny model chosen, "tiny@server" rows recognise on that server on loopback (the tiny model
// still writes the live text on this computer); beside the app's wait, the server's own time: the
// same recording posted straight to its /inference in one request (best of three), timed from the
// request to the answer, and our overhead over it (the app's wait minus that; below zero when the
// pieces sent while the user still spoke saved more than the app costs).
// Models: the tiny test model (QUILLORY_TEST_WHISPER_MODEL: what is measured is our own overhead)
// and the random-weight real-size models of scripts/make-sized-whisper-models.sh (the recogniser's
// cost; they write nonsense, so any text counts). A model too slow for this machine is skipped with
// the reason.
//
//   build/bench/bench_e2e [--models tiny,base,small,small-q8,large-v3-turbo,large-v3-turbo-q8,kotoba-whisper-v2.0]
//                         [--lengths 2,15,60] [--threads N] [--all]
// (A length named again is measured again: --lengths 2,15,2,15 gives two rounds of each.)
// QUILLORY_E2E_APP=<path> measures another build of the app (two builds compared in one session).
// Under each row, the dictation's timeline in ms after the release, from the app's log (its debug
// lines on): stop (recording stopped), audio_end, busy (the final waits for a settling decode that
// was running at the release), request (a piece posted to the server), answer,
// final (the on-device final decode), complete (the final reached the session), inject, key (the
// clipboard written and the paste key posted), read (the target read the clipboard), end, and
// text (the target's own time of the change in its entry: the bench's polling of the target is not
// in any figure). "beyond final": the wait less what the app's final decode took, i.e. our own
// time. Server rows: the server's best and worst of three for the whole recording, and the app's
// wait less the server's time for the app's own last request ("app-req", ours); the server's time
// for the same audio varies by seconds with the load (its threads wait for one another on a busy
// core).
#include "support/BenchDesktop.h"
#include "RealTargets.h"

#include "Speech/WavFileAudioSource.h"

#include <QApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QFileInfo>
#include <QEventLoop>
#include <QHttpMultiPart>
#include <QLocalSocket>
#include <QNetworkAccessManager>
#include <QNetworkReply>
#include <QProcess>
#include <QRegularExpression>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTemporaryDir>
#include <QTest>
#include <QThread>

#include <algorithm>
#include <atomic>
#include <cmath>
#include <cstdio>
#include <optional>
#include <utility>
#include <time.h>

using namespace quillory;

namespace {

constexpr int kRate = 16000;
constexpr std::size_t kBlock = 320;

qint64 nowNs() {
    timespec ts{};
    ::clock_gettime(CLOCK_MONOTONIC, &ts);
    return qint64(ts.tv_sec) * 1000000000 + ts.tv_nsec;
}

std::vector<float> fixture(const char* name) {
    QFile file(QStringLiteral(QUILLORY_SPEECH_FIXTURES "/") + QLatin1String(name));
    if (!file.open(QIODevice::ReadOnly)) {
        return {};
    }
    return WavFileAudioSource::decode(file.readAll());
}

/// The samples from the first one louder than the noise floor on.
std::vector<float> fromSpeech(const std::vector<float>& pcm) {
    const auto first = std::find_if(pcm.begin(), pcm.end(), [](float s) { return std::fabs(s) > 0.02f; });
    const auto start = first - std::min<std::ptrdiff_t>(first - pcm.begin(), kRate / 10);
    return {start, pcm.end()};
}

std::vector<float> utterance(int seconds) {
    const std::vector<float> plain = fixture("plain.wav");
    const std::vector<float> pauses = fixture("pauses.wav");
    const std::vector<float> noisy = fixture("noisy.wav");
    const std::vector<float> silence(kRate, 0.0f);
    std::vector<float> out;
    const auto add = [&](const std::vector<float>& part) { out.insert(out.end(), part.begin(), part.end()); };
    if (seconds <= 2) {
        add(fromSpeech(plain));
    } else if (seconds <= 15) {
        add(pauses);
        add(silence);
        add(fromSpeech(plain));
    } else {
        while (out.size() < std::size_t(seconds) * kRate) {
            add(plain);
            add(silence);
            add(pauses);
            add(silence);
            add(noisy);
            add(silence);
        }
    }
    out.resize(std::size_t(seconds) * kRate);
    return out;
}

bool writeWav(const QString& path, const std::vector<float>& pcm) {
    QFile f(path);
    if (!f.open(QIODevice::WriteOnly)) return false;
    const auto u32 = [&](quint32 v) { f.write(reinterpret_cast<const char*>(&v), 4); };
    const auto u16 = [&](quint16 v) { f.write(reinterpret_cast<const char*>(&v), 2); };
    const quint32 bytes = quint32(pcm.size() * 2);
    f.write("RIFF");
    u32(36 + bytes);
    f.write("WAVEfmt ");
    u32(16);
    u16(1);
    u16(1);
    u32(kRate);
    u32(kRate * 2);
    u16(2);
    u16(16);
    f.write("data");
    u32(bytes);
    for (float s : pcm) {
        u16(quint16(qint16(std::lround(std::clamp(s, -1.0f, 1.0f) * 32767.0f))));
    }
    return true;
}

/// The app measured: QUILLORY_E2E_APP (another build of it, to compare two in one session), else
/// this tree's.
QString appExecutable() {
    const QString other = qEnvironmentVariable("QUILLORY_E2E_APP");
    return other.isEmpty() ? QStringLiteral(QUILLORY_EXECUTABLE) : other;
}

double loadAverage() {
    double load[3] = {0, 0, 0};
    return ::getloadavg(load, 3) > 0 ? load[0] : -1;
}

struct Model {
    QString name;
    QString path;
    bool large = false; // a large-v3 encoder
};

class Bench {
public:
    explicit Bench(int threads) : threads_(threads) {
        env_ = QProcessEnvironment::systemEnvironment();
        env_.insert(QStringLiteral("QUILLORY_APP_SOCKET"), dir_.path() + QStringLiteral("/run/app.socket"));
        env_.insert(QStringLiteral("XDG_CONFIG_HOME"), dir_.path() + QStringLiteral("/config"));
        env_.insert(QStringLiteral("XDG_DATA_HOME"), dir_.path() + QStringLiteral("/data"));
        env_.insert(QStringLiteral("QUILLORY_LANGUAGE"), QStringLiteral("en"));
        env_.insert(QStringLiteral("QUILLORY_WHISPER_THREADS"), QString::number(threads));
        // The app's log with the monotonic time of each line (ms), its debug lines included: each
        // dictation's timeline is read from it.
        env_.insert(QStringLiteral("QT_MESSAGE_PATTERN"),
                    QStringLiteral("%{time boot} %{if-category}%{category}: %{endif}%{message}"));
        env_.insert(QStringLiteral("QT_LOGGING_RULES"), QStringLiteral("app.quillory.quillory.*.debug=true"));
        feeder_.emplace([this](std::vector<float>& block, std::size_t n) { fill(block, n); });
    }
    ~Bench() {
        stopApp();
        if (server_.state() != QProcess::NotRunning) {
            server_.kill();
            server_.waitForFinished(10000);
        }
    }

    int run(const QList<Model>& models, const QList<int>& lengths, bool all);

private:
    void fill(std::vector<float>& block, std::size_t n) {
        block.assign(kBlock, 0.0f);
        blocks_ = n;
        const qint64 start = startBlock_.load();
        if (start < 0 || qint64(n) < start) return;
        const std::size_t at = std::size_t(qint64(n) - start) * kBlock;
        const std::vector<float>* audio = audio_.load();
        if (at < audio->size()) {
            std::copy_n(audio->begin() + qint64(at), std::min(kBlock, audio->size() - at), block.begin());
        }
        if (at + kBlock >= audio->size()) {
            spoken_ = true;
        }
    }

    QString send(const QString& command, int timeoutMs = 5000) {
        QLocalSocket socket;
        socket.connectToServer(env_.value(QStringLiteral("QUILLORY_APP_SOCKET")));
        if (!socket.waitForConnected(timeoutMs)) return {};
        socket.write(command.toUtf8() + '\n');
        if (!socket.waitForBytesWritten(timeoutMs)) return {};
        QByteArray line;
        while (!line.contains('\n') && (socket.bytesAvailable() > 0 || socket.waitForReadyRead(timeoutMs))) {
            line += socket.readAll();
        }
        return QString::fromUtf8(line).trimmed();
    }
    bool status(const char* state) { return send(QStringLiteral("status")).endsWith(QLatin1String(state)); }

    int quillory(const QStringList& args, int timeoutMs = 20000) {
        QProcess p;
        p.setProcessEnvironment(env_);
        p.start(appExecutable(), args);
        if (!p.waitForFinished(timeoutMs)) {
            p.kill();
            p.waitForFinished(2000);
            return -1;
        }
        return p.exitCode();
    }

    /// `serverUrl`: recognition on that server (empty: on this computer).
    bool startApp(const Model& model, const QString& serverUrl = {}) {
        stopApp();
        const QString folder = dir_.path() + QStringLiteral("/data/quillory/SpeechModels");
        QDir(folder).removeRecursively();
        QDir().mkpath(folder);
        // The model stands in for the selected (default) model in the app's own model folder.
        QFile::link(model.path, folder + QStringLiteral("/ggml-kotoba-whisper-v2.0-q5_0.bin"));
        QFile::link(vad_, folder + QStringLiteral("/ggml-silero-v5.1.2.bin"));
        quillory({"settings", "set", "quillory.firstLaunch.settingsOpened", "true", "--bool"});
        quillory({"settings", "set", "quillory.aiPolish.enabled", "false", "--bool"});
        quillory({"settings", "set", "quillory.speech.engine", serverUrl.isEmpty() ? "device" : "server", "--string"});
        if (!serverUrl.isEmpty()) {
            quillory({"settings", "set", "quillory.speech.server.url", serverUrl, "--string"});
            quillory({"settings", "set", "quillory.speech.server.api", "whisper", "--string"});
        }
        app_.setProcessEnvironment(env_);
        app_.setStandardOutputFile(QProcess::nullDevice());
        app_.setStandardErrorFile(logPath(), QIODevice::Append);
        app_.start(appExecutable(), {});
        return app_.waitForStarted(10000) &&
               QTest::qWaitFor([&] { return send(QStringLiteral("status"), 2000).startsWith(QLatin1String("ok")); },
                               60000);
    }
    void stopApp() {
        if (app_.state() == QProcess::NotRunning) return;
        send(QStringLiteral("quit"));
        if (!app_.waitForFinished(20000)) {
            app_.kill();
            app_.waitForFinished(5000);
        }
    }

    /// One dictation through the app; the wait from the release to the text in the target (ms),
    /// or nullopt with `why` set. Its timeline is left in `timeline_`.
    std::optional<double> dictate(const std::vector<float>& audio, int timeoutMs, QString* why);
    QString logPath() const { return dir_.filePath(QStringLiteral("app.log")); }
    /// The app's log lines written since `from` (a byte offset), each as ms after `releasedNs`.
    void readTimeline(qint64 from, qint64 releasedNs, qint64 textNs);
    /// Prints `timeline_` under a row.
    void printTimeline() const;
    /// whisper-cli on the whole file, then a paste; ms from the start to the text in the target.
    /// `loopMs`: the part of it whisper-cli spent in its decoder loop, which random weights run to
    /// its limit (the app caps the tokens per second of audio).
    std::optional<double> baseline(const Model& model, const std::vector<float>& audio, int timeoutMs,
                                   double* decodeMs, double* loopMs, QString* why);

    /// whisper-server with `model` on a free loopback port; its base address, or empty with `why`.
    QString startServer(const Model& model, QString* why);
    /// The recording posted straight to the server's /inference; ms from the request to the answer.
    std::optional<double> postToServer(const QString& base, const std::vector<float>& audio, QString* why);
    /// The "tiny@server" rows.
    void serverRows(const Model& model, const QList<int>& lengths);

    int threads_;
    QTemporaryDir dir_;
    QProcess server_;
    QProcessEnvironment env_;
    QProcess app_;
    QString vad_ = qEnvironmentVariable("QUILLORY_TEST_WHISPER_VAD_MODEL");
    std::unique_ptr<test::RealTarget> target_;
    std::atomic<const std::vector<float>*> audio_{nullptr};
    std::atomic<qint64> startBlock_{-1};
    std::atomic<std::size_t> blocks_{0};
    std::atomic<bool> spoken_{false};
    std::optional<bench::PipeMicrophoneFeeder> feeder_;

    /// What one dictation's log showed, in ms after the release.
    struct Timeline {
        QList<std::pair<QString, double>> marks;
        std::optional<double> lastRequestMs; // the server's time for the app's last request
        std::optional<double> finalDecodeMs; // what the last on-device final decode took
    };
    Timeline timeline_;
};

/// The log lines a dictation's timeline shows, by a part of their text, and the name printed.
constexpr std::pair<const char*, const char*> kMarks[] = {
    {"stage=stop_requested", "stop"},
    {"Audio ended at", "audio_end"},
    {"waits for the decode in flight", "busy"},
    {"Server request:", "request"},
    {"stage=server_transcribed", "answer"},
    {"Final decode done", "final"},
    {"stage=server_fallback", "FALLBACK"},
    {"stage=stop_complete_received", "complete"},
    {"stage=inject_start", "inject"},
    {"Paste: clipboard written", "key"},
    {"Paste: the target read", "read"},
    {"stage=end", "end"},
};

void Bench::readTimeline(qint64 from, qint64 releasedNs, qint64 textNs) {
    timeline_ = {};
    QFile log(logPath());
    if (!log.open(QIODevice::ReadOnly) || !log.seek(from)) return;
    static const QRegularExpression line(QStringLiteral(R"(^\s*(\d+)\.(\d{3}) (.*)$)"));
    static const QRegularExpression requestMs(QStringLiteral(R"(stage=server_transcribed .* ms=(\d+))"));
    static const QRegularExpression decodeMs(QStringLiteral(R"(Final decode done in (\d+) ms)"));
    const double releasedMs = double(releasedNs) / 1e6;
    for (const QByteArray& raw : log.readAll().split('\n')) {
        const QRegularExpressionMatch m = line.match(QString::fromUtf8(raw));
        if (!m.hasMatch()) continue;
        const double at = m.captured(1).toDouble() * 1000 + m.captured(2).toDouble() - releasedMs;
        const QString text = m.captured(3);
        for (const auto& [needle, name] : kMarks) {
            if (text.contains(QLatin1String(needle))) {
                timeline_.marks.append({QLatin1String(name), at});
                if (const QRegularExpressionMatch r = requestMs.match(text); r.hasMatch()) {
                    timeline_.lastRequestMs = r.captured(1).toDouble();
                }
                if (const QRegularExpressionMatch d = decodeMs.match(text); d.hasMatch()) {
                    timeline_.finalDecodeMs = d.captured(1).toDouble();
                }
            }
        }
    }
    timeline_.marks.append({QStringLiteral("text"), double(textNs - releasedNs) / 1e6});
}

void Bench::printTimeline() const {
    QString out = QStringLiteral("    after release (ms):");
    for (const auto& [name, at] : timeline_.marks) {
        out += QStringLiteral(" %1 %2").arg(name).arg(at, 0, 'f', 0);
    }
    std::printf("%s\n", qPrintable(out));
}

std::optional<double> Bench::dictate(const std::vector<float>& audio, int timeoutMs, QString* why) {
    target_->mark();
    spoken_ = false;
    startBlock_ = -1;
    audio_ = &audio;
    send(QStringLiteral("press"));
    if (!QTest::qWaitFor([&] { return status("recording"); }, 60000)) {
        *why = QStringLiteral("never recording: ") + send(QStringLiteral("status"));
        return std::nullopt;
    }
    startBlock_ = qint64(blocks_.load()) + 1;
    (void)QTest::qWaitFor([&] { return spoken_.load(); }, int(audio.size() / kRate) * 1000 + 60000);
    const qint64 logFrom = QFileInfo(logPath()).size();
    const qint64 released = nowNs();
    send(QStringLiteral("release"));
    const bool arrived = target_->waitFor([&] { return !target_->textSinceMark().isEmpty(); }, timeoutMs);
    const qint64 textNs = target_->textNs();
    startBlock_ = -1;
    (void)QTest::qWaitFor([&] { return status("idle"); }, timeoutMs);
    readTimeline(logFrom, released, textNs);
    if (!arrived) {
        *why = QStringLiteral("no text in the target (status %1)").arg(send(QStringLiteral("status")));
        return std::nullopt;
    }
    return double(textNs - released) / 1e6;
}

std::optional<double> Bench::baseline(const Model& model, const std::vector<float>& audio, int timeoutMs,
                                      double* decodeMs, double* loopMs, QString* why) {
    const QString wav = dir_.filePath(QStringLiteral("recording.wav"));
    writeWav(wav, audio);
    target_->mark();
    const qint64 start = nowNs();
    QProcess cli;
    cli.start(QStringLiteral(QUILLORY_WHISPER_CLI), {"-m", model.path, "-f", wav, "-l", "ja", "-t",
                                                     QString::number(threads_), "-nt", "-nf", "-bo", "1"});
    if (!cli.waitForFinished(timeoutMs) || cli.exitCode() != 0) {
        cli.kill();
        *why = QStringLiteral("whisper-cli failed: ") + QString::fromUtf8(cli.readAllStandardError().right(200));
        return std::nullopt;
    }
    *decodeMs = double(nowNs() - start) / 1e6;
    // whisper.cpp's own timings: the decoder loop's part (sampling and decoder steps).
    static const QRegularExpression step(QStringLiteral(R"((sample|decode|batchd|prompt) time =\s*([0-9.]+) ms)"));
    *loopMs = 0;
    for (auto it = step.globalMatch(QString::fromUtf8(cli.readAllStandardError())); it.hasNext();) {
        *loopMs += it.next().captured(2).toDouble();
    }
    QString text = QString::fromUtf8(cli.readAllStandardOutput()).simplified();
    if (text.isEmpty()) text = QStringLiteral("-"); // a random-weight model may write nothing
    QProcess paste;
    paste.setProcessEnvironment(env_);
    paste.start(appExecutable(), {"paste", text});
    const bool arrived = target_->waitFor([&] { return !target_->textSinceMark().isEmpty(); }, 30000);
    paste.waitForFinished(30000);
    if (!arrived) {
        *why = QStringLiteral("the paste never arrived");
        return std::nullopt;
    }
    return double(target_->textNs() - start) / 1e6;
}

QString Bench::startServer(const Model& model, QString* why) {
    const QString binary = qEnvironmentVariable("QUILLORY_TEST_WHISPER_SERVER");
    if (binary.isEmpty() || !QFileInfo(binary).isExecutable()) {
        *why = QStringLiteral("no whisper-server (QUILLORY_TEST_WHISPER_SERVER; scripts/run-bench.sh sets it)");
        return {};
    }
    QTcpServer probe;
    probe.listen(QHostAddress::LocalHost, 0);
    const quint16 port = probe.serverPort();
    probe.close();
    server_.setProcessChannelMode(QProcess::MergedChannels);
    server_.start(binary, {"-m", model.path, "--host", "127.0.0.1", "--port", QString::number(port), "-t",
                           QString::number(threads_), "-l", "ja"});
    const bool up = server_.waitForStarted(30000) && QTest::qWaitFor(
                                                         [&] {
                                                             if (server_.state() != QProcess::Running) return true;
                                                             QTcpSocket socket;
                                                             socket.connectToHost(QHostAddress::LocalHost, port);
                                                             return socket.waitForConnected(1000);
                                                         },
                                                         120000) &&
                    server_.state() == QProcess::Running;
    if (!up) {
        *why = QStringLiteral("whisper-server did not come up: ") + QString::fromUtf8(server_.readAll().right(200));
        server_.kill();
        server_.waitForFinished(10000);
        return {};
    }
    return QStringLiteral("http://127.0.0.1:%1").arg(port);
}

std::optional<double> Bench::postToServer(const QString& base, const std::vector<float>& audio, QString* why) {
    const QString wav = dir_.filePath(QStringLiteral("server.wav"));
    writeWav(wav, audio);
    QFile file(wav);
    if (!file.open(QIODevice::ReadOnly)) {
        *why = QStringLiteral("could not read back the recording");
        return std::nullopt;
    }
    auto* form = new QHttpMultiPart(QHttpMultiPart::FormDataType);
    const auto field = [form](const char* name, const QByteArray& value) {
        QHttpPart part;
        part.setHeader(QNetworkRequest::ContentDispositionHeader,
                       QStringLiteral("form-data; name=\"%1\"").arg(QLatin1String(name)));
        part.setBody(value);
        form->append(part);
    };
    QHttpPart part;
    part.setHeader(QNetworkRequest::ContentDispositionHeader,
                   QStringLiteral("form-data; name=\"file\"; filename=\"audio.wav\""));
    part.setHeader(QNetworkRequest::ContentTypeHeader, QStringLiteral("audio/wav"));
    part.setBody(file.readAll());
    form->append(part);
    field("language", "ja");
    field("response_format", "json");
    field("temperature", "0.0");
    QNetworkAccessManager manager;
    const qint64 start = nowNs();
    QNetworkReply* reply = manager.post(QNetworkRequest(QUrl(base + QStringLiteral("/inference"))), form);
    form->setParent(reply);
    QEventLoop loop;
    QObject::connect(reply, &QNetworkReply::finished, &loop, &QEventLoop::quit);
    if (!reply->isFinished()) loop.exec();
    const double ms = double(nowNs() - start) / 1e6;
    const int status = reply->attribute(QNetworkRequest::HttpStatusCodeAttribute).toInt();
    const QByteArray body = reply->readAll();
    reply->deleteLater();
    if (status != 200 || !body.contains("\"text\"")) {
        *why = QStringLiteral("the server answered HTTP %1: %2").arg(status).arg(QString::fromUtf8(body.left(200)));
        return std::nullopt;
    }
    return ms;
}

void Bench::serverRows(const Model& model, const QList<int>& lengths) {
    const QString name = model.name + QStringLiteral("@server");
    QString why;
    const QString base = startServer(model, &why);
    if (base.isEmpty()) {
        std::printf("%-22s skipped: %s\n", qPrintable(name), qPrintable(why));
        return;
    }
    if (!startApp(model, base)) {
        std::printf("%-22s skipped: the app did not start with it\n", qPrintable(name));
    } else {
        std::printf("\n%-22s %5s %12s %14s %12s %14s %12s %12s %6s\n", "server on loopback", "audio", "app (ms)",
                    "server (ms)", "worst (ms)", "app-server(ms)", "last req(ms)", "app-req (ms)", "load");
        // A first dictation loads the models: not part of the wait.
        QString ignored;
        (void)dictate(utterance(2), 120000, &ignored);
        for (int seconds : lengths) {
            const std::vector<float> audio = utterance(seconds);
            const int timeoutMs = 120000 + seconds * 1000;
            const std::optional<double> app = dictate(audio, timeoutMs, &why);
            const Timeline timeline = timeline_;
            // The server's best of three (the machine's load moves single requests by seconds).
            QString whyServer;
            std::optional<double> direct;
            double worst = 0;
            for (int i = 0; i < 3; ++i) {
                const std::optional<double> one = postToServer(base, audio, &whyServer);
                if (!one) {
                    direct.reset();
                    break;
                }
                direct = std::min(direct.value_or(*one), *one);
                worst = std::max(worst, *one);
            }
            if (!app || !direct) {
                std::printf("%-22s %4ds failed: %s\n", qPrintable(name), seconds, qPrintable(app ? whyServer : why));
                continue;
            }
            // The app's own last request (its log): what the server took for the piece waited for.
            const double lastRequest = timeline.lastRequestMs.value_or(-1);
            std::printf("%-22s %4ds %12.0f %14.0f %12.0f %14.0f %12.0f %12.0f %6.2f\n", qPrintable(name), seconds, *app,
                        *direct, worst, *app - *direct, lastRequest, *app - lastRequest, loadAverage());
            timeline_ = timeline;
            printTimeline();
            std::fflush(stdout);
        }
        stopApp();
    }
    server_.kill();
    server_.waitForFinished(10000);
}

int Bench::run(const QList<Model>& models, const QList<int>& lengths, bool all) {
    if (vad_.isEmpty() || qEnvironmentVariableIsEmpty("QUILLORY_TEST_PIPE_SOURCE")) {
        std::printf("skipped: no VAD model (QUILLORY_TEST_WHISPER_VAD_MODEL; scripts/run-bench.sh sets it) or no "
                    "pipe microphone\n");
        return 0;
    }
    target_ = test::makeRealTarget(QStringLiteral("gtk3"), dir_.path());
    if (!target_->start()) {
        std::fprintf(stderr, "the GTK entry did not start: %s\n", target_->why().c_str());
        return 1;
    }
    std::printf("release -> text in a GTK 3 entry of another program; %d threads; load average %.2f at the start\n",
                threads_, loadAverage());
    std::printf("baseline: whisper-cli on the whole recording (model loaded per run, -t threads), then `quillory paste`;\n");
    std::printf("baseline floor: the baseline without whisper-cli's decoder loop (random weights run it to its "
                "limit)\n\n");
    std::printf("%-22s %5s %12s %12s %14s %12s %12s %7s %7s %6s\n", "model", "audio", "app (ms)", "beyond final",
                "baseline (ms)", "cli run (ms)", "cli loop(ms)", "ratio", "/floor", "load");
    for (const Model& model : models) {
        if (model.path.isEmpty() || !QFileInfo::exists(model.path)) {
            std::printf("%-22s skipped: not generated (scripts/make-sized-whisper-models.sh %s)\n",
                        qPrintable(model.name), qPrintable(model.name));
            continue;
        }
        bool started = false;
        bool warm = false;
        for (int seconds : lengths) {
            if (model.large && !all) {
                std::printf("%-22s %4ds skipped: a large-v3 encoder costs about 1.5 s per s of speech on 2 cores "
                            "shared with other work (--all runs it)\n",
                            qPrintable(model.name), seconds);
                continue;
            }
            if (!started && !(started = startApp(model))) {
                std::printf("%-22s skipped: the app did not start with it\n", qPrintable(model.name));
                break;
            }
            const std::vector<float> audio = utterance(seconds);
            const int timeoutMs = 120000 + seconds * (model.name == QLatin1String("tiny") ? 1000 : 20000);
            // A first dictation after the start loads the model: not part of the wait.
            if (!std::exchange(warm, true)) {
                QString ignored;
                (void)dictate(utterance(2), timeoutMs, &ignored);
            }
            QString why;
            const std::optional<double> app = dictate(audio, timeoutMs, &why);
            const Timeline timeline = timeline_;
            double decodeMs = 0;
            double loopMs = 0;
            QString whyBase;
            const std::optional<double> base = baseline(model, audio, timeoutMs, &decodeMs, &loopMs, &whyBase);
            if (!app || !base) {
                std::printf("%-22s %4ds failed: %s\n", qPrintable(model.name), seconds,
                            qPrintable(app ? whyBase : why));
                continue;
            }
            const double floor = std::max(1.0, *base - loopMs);
            // Ours: the wait less what the app's own final decode took (its log).
            const double beyondFinal = *app - timeline.finalDecodeMs.value_or(0);
            std::printf("%-22s %4ds %12.0f %12.0f %14.0f %12.0f %12.0f %7.2f %7.2f %6.2f\n", qPrintable(model.name),
                        seconds, *app, beyondFinal, *base, decodeMs, loopMs, *app / *base, *app / floor, loadAverage());
            timeline_ = timeline;
            printTimeline();
            std::fflush(stdout);
        }
        stopApp();
        if (model.name == QLatin1String("tiny")) {
            serverRows(model, lengths);
        }
    }
    target_->stop();
    return 0;
}

} // namespace

int main(int argc, char** argv) {
    bench::enterPrivateDesktop(argc, argv, {});
    qputenv("QT_QPA_PLATFORM", "xcb");
    QApplication application(argc, argv);
    const QStringList args = application.arguments().mid(1);
    const auto option = [&](const char* name, const QString& fallback) {
        const qsizetype i = args.indexOf(QLatin1String(name));
        return i >= 0 && i + 1 < args.size() ? args[i + 1] : fallback;
    };
    // (The private desktop keeps the caller's dependency cache in QUILLORY_DEPS_CACHE.)
    const QString sized = qEnvironmentVariable("QUILLORY_DEPS_CACHE") + QStringLiteral("/sized-whisper/");
    const QList<Model> catalogue{
        {QStringLiteral("tiny"), qEnvironmentVariable("QUILLORY_TEST_WHISPER_MODEL")},
        {QStringLiteral("base"), sized + QStringLiteral("ggml-base-q5_1.bin")},
        {QStringLiteral("small"), sized + QStringLiteral("ggml-small-q5_1.bin")},
        {QStringLiteral("small-q8"), sized + QStringLiteral("ggml-small-q8_0.bin")},
        {QStringLiteral("large-v3-turbo"), sized + QStringLiteral("ggml-large-v3-turbo-q5_0.bin"), true},
        {QStringLiteral("large-v3-turbo-q8"), sized + QStringLiteral("ggml-large-v3-turbo-q8_0.bin"), true},
        {QStringLiteral("kotoba-whisper-v2.0"), sized + QStringLiteral("ggml-kotoba-whisper-v2.0-q5_0.bin"), true},
    };
    const QStringList wanted = option("--models", QStringLiteral("tiny,base,small,small-q8,large-v3-turbo,large-v3-turbo-q8,kotoba-whisper-v2.0"))
                                   .split(',', Qt::SkipEmptyParts);
    QList<Model> models;
    for (const Model& m : catalogue) {
        if (wanted.contains(m.name)) models << m;
    }
    QList<int> lengths;
    for (const QString& s : option("--lengths", QStringLiteral("2,15,60")).split(',', Qt::SkipEmptyParts)) {
        lengths << s.toInt();
    }
    int threads = option("--threads", QString()).toInt();
    if (threads <= 0) threads = std::max(1, QThread::idealThreadCount());
    Bench bench(threads);
    return bench.run(models, lengths, args.contains(QStringLiteral("--all")));
}
