#pragma once

#include "AI/LocalPolishEngine.h"
#include "ai/FakeHttpServer.h"
#include "support/CoreTest.h"

#include <QDir>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QFile>
#include <QTimer>

#include <csignal>
#include <exception>
#include <functional>
#include <memory>
#include <optional>
#include <stdexcept>
#include <vector>

namespace quillory::testing {

/// Engine tests on virtual time with real processes and a real loopback HTTP server: the pump
/// handles real events first, waits for real I/O while a request is on its way, and otherwise
/// jumps the virtual clock to the next piece of scheduled work. A request that a fake server
/// deliberately leaves unanswered (hang, hold, a stalled body) no longer holds virtual time, so
/// the engine's own timeouts and polls run on; and `drive` is bounded, so a hang is a failure.
class EngineTestBase : public CoreTest {
protected:
    void SetUp() override {
        CoreTest::SetUp();
        QDir().mkpath(path("tmp"));
        qputenv("TMPDIR", path("tmp").toUtf8());
        QDir().mkpath(path("run"));
        QFile::setPermissions(path("run"), QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);
        qputenv("XDG_RUNTIME_DIR", path("run").toUtf8());
        runtimeDir_ = path("runtime");
        QDir().mkpath(runtimeDir_);
        writeScript(runtimeDir_ + "/llama-server", R"(#!/bin/sh
dir=$(dirname "$0")
printf '%s\n' "$@" > "$dir/args-$$.txt"
printf '%s\n' "$LD_LIBRARY_PATH" > "$dir/env-$$.txt"
printf '%s\n' "$LLAMA_API_KEY" > "$dir/key-$$.txt"
env | grep '^LLAMA_ARG_' > "$dir/llama-env-$$.txt"
pwd > "$dir/cwd-$$.txt"
echo $$ >> "$dir/pids.txt"
if [ -f "$dir/port-taken" ]; then
  n=$(cat "$dir/port-taken")
  if [ "$n" -gt 0 ]; then
    echo $((n-1)) > "$dir/port-taken"
    echo "couldn't bind HTTP server socket, hostname: 127.0.0.1, port: 1"
    exit 1
  fi
fi
if [ -f "$dir/exit-mode" ]; then
  i=1; while [ $i -le 15 ]; do echo "log line $i"; echo; i=$((i+1)); done
  exit 1
fi
echo "server starting"
if [ -f "$dir/ignore-term" ]; then trap '' TERM; fi
: > "$dir/up-$$"
exec sleep 600
)");
        modelDir_ = path("models");
        QDir().mkpath(modelDir_);
        health_ =
            std::make_unique<FakeHttpServer>([this](const FakeHttpServer::Request& r) { return answer(r); });
    }

    void TearDown() override {
        if (engine_) {
            engine_->shutdown();
            engine_.reset();
        }
        health_.reset();
        qunsetenv("TMPDIR");
        qunsetenv("XDG_RUNTIME_DIR");
        CoreTest::TearDown();
    }

    static void writeScript(const QString& file, const char* text) {
        QFile f(file);
        ASSERT_TRUE(f.open(QIODevice::WriteOnly | QIODevice::Truncate));
        f.write(text);
        f.close();
        f.setPermissions(QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);
    }
    static void touch(const QString& file, const QByteArray& content = {}) {
        QFile f(file);
        ASSERT_TRUE(f.open(QIODevice::WriteOnly | QIODevice::Truncate));
        f.write(content);
    }
    static QStringList lines(const QString& file) {
        QFile f(file);
        if (!f.open(QIODevice::ReadOnly)) {
            return {};
        }
        return QString::fromUtf8(f.readAll()).split('\n', Qt::SkipEmptyParts);
    }
    static bool alive(qint64 pid) {
        return pid > 0 && ::kill(static_cast<pid_t>(pid), 0) == 0 && !isZombie(pid);
    }
    static bool isZombie(qint64 pid) {
        QFile f(QStringLiteral("/proc/%1/stat").arg(pid));
        if (!f.open(QIODevice::ReadOnly)) {
            return true;
        }
        const QByteArray stat = f.readAll();
        const qsizetype close = stat.lastIndexOf(')');
        return close > 0 && stat.mid(close + 2, 1) == "Z";
    }

    /// What the fake server answers; tests replace `completion` and `healthStatus`.
    FakeHttpServer::Response answer(const FakeHttpServer::Request& r) {
        if (r.path == "/health") {
            healthTimes_ << clock_.monotonicNow();
            // Ready only once the launched script is up (and, when given, after the scripted statuses).
            const bool up =
                engine_ &&
                QFile::exists(runtimeDir_ + QStringLiteral("/up-%1").arg(engine_->serverProcessId()));
            const int status = !up ? 503 : healthStatuses_.isEmpty() ? 200 : healthStatuses_.takeFirst();
            return {status, status == 200 ? QByteArray(R"({"status":"ok"})")
                                          : QByteArray(R"({"error":{"message":"Loading model"}})")};
        }
        return completion_ ? completion_(r) : FakeHttpServer::Response{200, R"({"content":"ok"})"};
    }

    LocalPolishEngine::Configuration configuration() {
        LocalPolishEngine::Configuration c;
        c.runtimeDirectory = runtimeDir_;
        c.modelDirectory = modelDir_;
        c.hostSupported = [] { return true; };
        c.pickPort = [this] { return ports_.isEmpty() ? health_->port() : ports_.takeFirst(); };
        c.blockingPause = [this](Duration d) { pauses_ << d; };
        // The fake server answers from inside the test process, not from the launched script.
        c.listenerOwnedBy = [](qint64, int) { return true; };
        return c;
    }
    LocalPolishEngine& engine() {
        if (!engine_) {
            engine_ = std::make_unique<LocalPolishEngine>(configuration());
        }
        return *engine_;
    }
    void createModelFile(PolishModel m) { touch(engine().localModelPath(m), "GGUF"); }

    static void waitReal(int ms) {
        QTimer wake;
        wake.setSingleShot(true);
        wake.start(ms);
        QEventLoop loop;
        loop.processEvents(QEventLoop::WaitForMoreEvents);
    }
    /// Requests of the engines in flight that no fake server has parked: real I/O still to come.
    int requestsOnTheirWay() const {
        int inFlight = engine_ ? engine_->requestsInFlight() : 0;
        for (const LocalPolishEngine* other : otherEngines_) {
            inFlight += other->requestsInFlight();
        }
        return inFlight - FakeHttpServer::parkedEverywhere();
    }
    void pumpOnce() {
        clock_.runPending();
        QEventLoop loop;
        if (loop.processEvents(QEventLoop::AllEvents)) {
            unsettled_.invalidate();
            return;
        }
        if (requestsOnTheirWay() > 0) {
            // Give the real world time, but not forever: after a while virtual time runs on anyway
            // (a request to something that never answers still meets its timeout).
            if (!unsettled_.isValid()) {
                unsettled_.start();
            }
            if (unsettled_.elapsed() < kUnsettledPatienceMs) {
                waitReal(5);
                return;
            }
        }
        unsettled_.invalidate();
        waitReal(1); // give real processes a moment before virtual time jumps
        if (!clock_.runNext()) {
            waitReal(20);
        }
    }
    /// Real events only, virtual time stands still.
    void pumpRealFor(int iterations) {
        for (int i = 0; i < iterations; ++i) {
            waitReal(5);
        }
    }
    bool pumpUntil(const std::function<bool()>& done, int bound = 3000) {
        for (int i = 0; i < bound && !done(); ++i) {
            pumpOnce();
        }
        return done();
    }
    bool pumpRealUntil(const std::function<bool()>& done, int bound = 400) {
        for (int i = 0; i < bound && !done(); ++i) {
            waitReal(5);
        }
        return done();
    }

    template <typename T> struct Outcome {
        bool done = false;
        std::optional<T> value;
        std::exception_ptr error;
    };
    template <typename T> static Task<> collect(Task<T> task, std::shared_ptr<Outcome<T>> outcome) {
        try {
            outcome->value.emplace(co_await std::move(task));
        } catch (...) {
            outcome->error = std::current_exception();
        }
        outcome->done = true;
    }
    /// Runs the task to its end. Bounded by `virtualBound` of virtual time and a minute of real
    /// time: a task that doesn't finish is a test failure (and the engine is stopped), never a hang.
    template <typename T> T drive(Task<T>&& task, Duration virtualBound = std::chrono::hours(2)) {
        auto outcome = std::make_shared<Outcome<T>>();
        auto collector = collect<T>(std::move(task), outcome);
        const Duration until = clock_.monotonicNow() + virtualBound;
        QElapsedTimer real;
        real.start();
        while (!outcome->done && clock_.monotonicNow() <= until && real.elapsed() < 60'000) {
            pumpOnce();
        }
        if (!outcome->done) {
            ADD_FAILURE() << "the task did not finish within the bound";
            if (engine_) {
                engine_->stopServer();
            }
            throw std::runtime_error("drive: the task did not finish");
        }
        if (outcome->error) {
            std::rethrow_exception(outcome->error);
        }
        return std::move(*outcome->value);
    }
    /// Starts the task and lets it run on while the test pumps; its outcome shows when done.
    template <typename T> std::shared_ptr<Outcome<T>> begin(Task<T>&& task) {
        auto outcome = std::make_shared<Outcome<T>>();
        running_.push_back(collect<T>(std::move(task), outcome));
        return outcome;
    }
    /// The engine error a finished task ended with (none for a value or another exception).
    template <typename T> static std::optional<LocalPolishError> errorOf(const Outcome<T>& outcome) {
        if (outcome.error) {
            try {
                std::rethrow_exception(outcome.error);
            } catch (const LocalPolishError& e) {
                return e;
            } catch (...) {
            }
        }
        return std::nullopt;
    }

    template <typename T> LocalPolishError driveExpectingError(Task<T>&& task) {
        try {
            drive(std::move(task));
        } catch (const LocalPolishError& e) {
            return e;
        }
        ADD_FAILURE() << "no LocalPolishError";
        return LocalPolishError::emptyOutput();
    }

    QString runtimeDir_;
    QString modelDir_;
    std::unique_ptr<FakeHttpServer> health_;
    QList<int> healthStatuses_;
    QList<Duration> healthTimes_; // virtual time of each health request
    QList<int> ports_;
    std::vector<Task<>> running_;            // tasks started by `begin`
    QList<LocalPolishEngine*> otherEngines_; // engines besides `engine_` that the pump watches
    QElapsedTimer unsettled_;
    static constexpr qint64 kUnsettledPatienceMs = 3000;
    QList<Duration> pauses_;
    std::function<FakeHttpServer::Response(const FakeHttpServer::Request&)> completion_;
    std::unique_ptr<LocalPolishEngine> engine_;
};

} // namespace quillory::testing
