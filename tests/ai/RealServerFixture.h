// The fixture of the tests against the real llama-server and the tiny generated model, on real
// time (IntegrationTest.cpp, VulkanLiveTest.cpp).
//
// Paths come from QUILLORY_TEST_LLAMA_SERVER (the executable), QUILLORY_TEST_TINY_MODEL and
// QUILLORY_TEST_KNOWN_SENTENCE (set by scripts/run-tests.sh); without them the dependency cache of
// the real home is tried. The tests skip only when neither gives a runtime and a model.
#pragma once

#include "AI/LocalPolishEngine.h"
#include "support/CoreTest.h"

#include <QCoreApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QFileInfo>
#include <QProcess>
#include <QThread>

#include <optional>

namespace quillory {
namespace {

// Captured before any fixture points HOME into a temporary folder.
const QString kRealCache = [] {
    const QString xdg = qEnvironmentVariable("XDG_CACHE_HOME");
    return (xdg.isEmpty() ? QDir::homePath() + "/.cache" : xdg) + "/quillory/deps";
}();

struct Runtime {
    QString server;
    QString model;
    QString sentence;
};

std::optional<Runtime> findRuntime() {
    Runtime r{qEnvironmentVariable("QUILLORY_TEST_LLAMA_SERVER"),
              qEnvironmentVariable("QUILLORY_TEST_TINY_MODEL"),
              qEnvironmentVariable("QUILLORY_TEST_KNOWN_SENTENCE")};
    if (r.server.isEmpty()) {
        QFile stamp(kRealCache + "/llama-current");
        if (stamp.open(QIODevice::ReadOnly)) {
            r.server = kRealCache + "/" + QString::fromUtf8(stamp.readLine()).trimmed() + "/bin/llama-server";
        }
    }
    if (r.model.isEmpty()) {
        r.model = kRealCache + "/tiny-polish.gguf";
    }
    if (r.sentence.isEmpty()) {
        QProcess p;
        p.start("/usr/bin/python3",
                {QStringLiteral(QUILLORY_SOURCE_DIR "/scripts/make-tiny-gguf.py"), "--print-sentence"});
        p.waitForFinished(30000);
        r.sentence = QString::fromUtf8(p.readAllStandardOutput()).trimmed();
    }
    if (!QFileInfo(r.server).isExecutable() || !QFileInfo(r.model).isFile() || r.sentence.isEmpty()) {
        return std::nullopt;
    }
    return r;
}

class RealServerTest : public testing::CoreTest {
protected:
    void SetUp() override {
        CoreTest::SetUp();
        runtime_ = findRuntime();
        if (!runtime_) {
            GTEST_SKIP()
                << "llama-server runtime or tiny model not found: run scripts/run-tests.sh (it builds "
                   "them) or set QUILLORY_TEST_LLAMA_SERVER and QUILLORY_TEST_TINY_MODEL";
        }
        realClock_ = std::make_unique<ScopedScheduler>(real_);
        QDir().mkpath(path("tmp"));
        qputenv("TMPDIR", path("tmp").toUtf8());
        QDir().mkpath(path("run"));
        QFile::setPermissions(path("run"), QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);
        qputenv("XDG_RUNTIME_DIR", path("run").toUtf8());
        config_.runtimeDirectory = QFileInfo(runtime_->server).absolutePath();
        config_.modelDirectory = path("models");
        for (PolishModel m : PolishModels::allCases) {
            config_.modelFiles.insert(m, runtime_->model);
        }
        engine_ = std::make_unique<LocalPolishEngine>(config_);
    }
    void TearDown() override {
        if (engine_) {
            engine_->shutdown();
        }
        engine_.reset();
        realClock_.reset();
        qunsetenv("TMPDIR");
        qunsetenv("XDG_RUNTIME_DIR");
        CoreTest::TearDown();
    }
    template <typename T> T await(Task<T>&& task) {
        return runUntilDone(std::move(task),
                            [] { QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents); });
    }
    static void spin(int ms) {
        QElapsedTimer t;
        t.start();
        while (t.elapsed() < ms) {
            QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents, 10);
            QCoreApplication::processEvents();
        }
    }
    static bool waitUntil(const std::function<bool()>& done, int ms) {
        QElapsedTimer t;
        t.start();
        while (!done() && t.elapsed() < ms) {
            QCoreApplication::processEvents(QEventLoop::AllEvents, 10);
            QThread::msleep(5);
        }
        return done();
    }

    std::optional<Runtime> runtime_;
    QtScheduler real_;
    std::unique_ptr<ScopedScheduler> realClock_;
    LocalPolishEngine::Configuration config_;
    std::unique_ptr<LocalPolishEngine> engine_;
};

} // namespace
} // namespace quillory
