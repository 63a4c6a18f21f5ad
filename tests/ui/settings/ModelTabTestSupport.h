#pragma once

#include "AI/LocalPolishError.h"
#include "Runtime/Async.h"
#include "UI/Settings/LocalModelEngine.h"
#include "UI/Settings/SpeechModelSection.h"
#include "support/CoreTest.h"

#include <QDir>
#include <QWidget>

#include <memory>
#include <set>

namespace quillory::testing {

/// A scripted engine on virtual time: downloads take `downloadTime` (progress at the start, half
/// way and the end), polish and chat replies take their own time; failures are scripted.
class FakeModelEngine final : public LocalModelEngine {
public:
    std::set<PolishModel> present;
    Duration downloadTime = 2s;
    qint64 downloadBytes = 1000;
    std::optional<QString> downloadFailure;
    std::optional<QString> deleteFailure;
    int strayServers = 0;
    bool cleanupFails = false;
    Duration polishTime = 3s;
    std::optional<QString> polishFailure;
    Duration chatTime = 1s;
    std::optional<QString> chatFailure;
    QString chatReply = QStringLiteral("はい、どうぞ。");

    int prepareCalls = 0;
    QList<PolishModel> deleted;
    QList<QString> polishPrompts;
    QList<QList<LocalLLMChatMessage>> dialogues;

    bool isModelDownloaded(PolishModel model) const override { return present.count(model) > 0; }

    Task<> prepareModel(PolishModel model, Progress progress) override {
        ++prepareCalls;
        if (present.count(model)) {
            co_return;
        }
        if (progress) {
            progress(0, downloadBytes);
        }
        co_await sleepFor(downloadTime / 2);
        if (progress) {
            progress(downloadBytes / 2, downloadBytes);
        }
        co_await sleepFor(downloadTime / 2);
        if (downloadFailure) {
            throw LocalPolishError::modelDownloadFailed(*downloadFailure);
        }
        present.insert(model);
    }

    void deleteModel(PolishModel model) override {
        if (deleteFailure) {
            throw ModelFileError(*deleteFailure);
        }
        deleted.append(model);
        present.erase(model);
    }

    int cleanupResidualServers() override {
        if (cleanupFails) {
            throw LocalPolishError::cleanupFailed(QStringLiteral("pgrep is missing"));
        }
        return strayServers;
    }

    Task<QString> polish(QString text, PolishModel model, QString prompt) override {
        polishPrompts.append(prompt);
        co_await prepareModel(model, {});
        co_await sleepFor(polishTime);
        if (polishFailure) {
            throw LocalPolishError::requestFailed(*polishFailure);
        }
        co_return QStringLiteral("【%1】").arg(text.trimmed());
    }

    Task<QString> chatCompletion(QList<LocalLLMChatMessage> dialogue, PolishModel) override {
        dialogues.append(dialogue);
        co_await sleepFor(chatTime);
        if (chatFailure) {
            throw LocalPolishError::requestFailed(*chatFailure);
        }
        co_return QString(chatReply);
    }
};

/// A scripted speech model catalogue on virtual time.
class FakeSpeechCatalogue final : public SpeechModelCatalogue {
public:
    QList<SpeechModelEntry> entries{
        {QStringLiteral("small"), QStringLiteral("Small"), QStringLiteral("Fast."), QStringLiteral("190 MB")},
        {QStringLiteral("medium"), QStringLiteral("Medium"), QStringLiteral("Balanced."), QStringLiteral("539 MB")},
        {QStringLiteral("large"), QStringLiteral("Large"), QStringLiteral("Accurate."), QStringLiteral("1.6 GB")},
    };
    std::set<QString> present{QStringLiteral("small")};
    QString selected = QStringLiteral("small");
    Duration downloadTime = 4s;
    std::optional<QString> downloadFailure;
    std::optional<QString> removeFailure;

    QList<SpeechModelEntry> models() const override { return entries; }
    bool isDownloaded(const QString& id) const override { return present.count(id) > 0; }
    QString selectedId() const override { return selected; }
    void select(const QString& id) override { selected = id; }
    Task<> download(QString id, Progress progress) override {
        if (progress) {
            progress(0, -1);
        }
        co_await sleepFor(downloadTime / 4);
        if (progress) {
            progress(250, 1000);
        }
        co_await sleepFor(downloadTime * 3 / 4);
        if (downloadFailure) {
            throw std::runtime_error(downloadFailure->toStdString());
        }
        present.insert(id);
    }
    QString recommended = QStringLiteral("medium");
    QString recommendedId() const override { return recommended; }
    /// Like `download`, ended by `cancel` (no file arrives then).
    Task<> downloadCancellable(QString id, Progress progress, CancellationToken cancel) override {
        if (progress) {
            progress(0, 1000);
        }
        if (!co_await sleepFor(downloadTime / 4, cancel)) {
            throw CancellationError();
        }
        if (progress) {
            progress(250, 1000);
        }
        if (!co_await sleepFor(downloadTime * 3 / 4, cancel)) {
            throw CancellationError();
        }
        if (downloadFailure) {
            throw std::runtime_error(downloadFailure->toStdString());
        }
        present.insert(id);
    }
    void remove(const QString& id) override {
        if (removeFailure) {
            throw std::runtime_error(removeFailure->toStdString());
        }
        present.erase(id);
    }
    /// The device answer, at once or after `deviceTime` (a GPU probe). At once by default: a view
    /// test that never advances its clock would otherwise end with the question still asleep.
    std::optional<RecognitionDevice> device;
    Duration deviceTime = 0ms;
    Task<std::optional<RecognitionDevice>> recognitionDevice() override {
        const std::optional<RecognitionDevice> answer = device;
        if (deviceTime > 0ms) {
            co_await sleepFor(deviceTime);
        }
        co_return answer;
    }
};

/// A child widget of `root` by object name (fails the test when it is missing).
template <typename W> W* child(QWidget* root, const char* name) {
    W* widget = root->findChild<W*>(QString::fromLatin1(name));
    EXPECT_NE(widget, nullptr) << name;
    return widget;
}

/// A tab view over its model and a fresh scripted engine, shown at the settings window's size.
/// `Tab` is built as `Tab(model, nullptr)` and owns the model.
template <typename Tab, typename Model> class ModelTabTest : public CoreTest {
protected:
    void SetUp() override {
        CoreTest::SetUp();
        engine_ = std::make_shared<FakeModelEngine>();
    }
    void TearDown() override {
        tab_.reset();
        CoreTest::TearDown();
    }
    Model& open() {
        auto* model = new Model(engine_);
        tab_ = std::make_unique<Tab>(model, nullptr);
        model->setParent(tab_.get());
        tab_->resize(420, 560);
        tab_->show();
        return *model;
    }
    template <typename W> W* find(const char* name) { return child<W>(tab_.get(), name); }

    std::shared_ptr<FakeModelEngine> engine_;
    std::unique_ptr<Tab> tab_;
};

/// The folder the review screenshots go to.
inline QString screenshotDirectory() {
    const QString dir = QStringLiteral(QUILLORY_SCREENSHOT_DIR);
    QDir().mkpath(dir);
    return dir;
}

} // namespace quillory::testing
