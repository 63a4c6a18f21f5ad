#include "UI/Settings/PolishTabModel.h"

#include "AI/PolishSettings.h"
#include "Runtime/Localization.h"
#include "Runtime/Scheduler.h"

#include <QPointer>

namespace quillory {

PolishTabModel::PolishTabModel(std::shared_ptr<LocalModelEngine> engine, EnabledBinding enabled, QObject* parent)
    : QObject(parent), engine_(std::move(engine)), enabled_(std::move(enabled)) {
    if (!enabled_.get) {
        enabled_.get = [] { return PolishSettings::isEnabled(); };
    }
    if (!enabled_.set) {
        enabled_.set = [](bool on) { PolishSettings::setEnabled(on); };
    }
    connect(&files_, &ModelDownloadController::changed, this, &PolishTabModel::changed);
}

void PolishTabModel::setStatus(const AppStatus& status) {
    files_.setStatus(status);
}

bool PolishTabModel::isBusy() const {
    return files_.sessionBusy();
}

bool PolishTabModel::polishEnabled() const {
    return enabled_.get();
}

void PolishTabModel::setPolishEnabled(bool enabled) {
    if (enabled == polishEnabled()) {
        return;
    }
    enabled_.set(enabled);
    emit changed();
}

PolishModel PolishTabModel::selectedModel() const {
    return PolishSettings::selectedModel();
}

void PolishTabModel::setSelectedModel(PolishModel model) {
    if (model == selectedModel() || !canChangeModelFile()) {
        return;
    }
    PolishSettings::setSelectedModel(model);
    refreshModelStatus();
}

QString PolishTabModel::promptForEditing() const {
    return PolishSettings::storedPromptForEditing();
}

void PolishTabModel::setPrompt(const QString& text) {
    PolishSettings::setPrompt(text);
}

void PolishTabModel::resetPrompt() {
    PolishSettings::resetPrompt();
    emit changed();
}

void PolishTabModel::setTestInputText(const QString& text) {
    if (text == testInputText_) {
        return;
    }
    testInputText_ = text;
    emit changed();
}

bool PolishTabModel::canChangeModelFile() const {
    return files_.canChangeFiles();
}

bool PolishTabModel::canDeleteModel() const {
    return canChangeModelFile() && !testInProgress_;
}

bool PolishTabModel::canCleanup() const {
    return files_.canChangeFiles() && !testInProgress_;
}

bool PolishTabModel::canEditTestInput() const {
    return !isBusy() && !testInProgress_;
}

bool PolishTabModel::canRunPolishTest() const {
    return !testInputText_.trimmed().isEmpty() && !testInProgress_ &&
           (status().is(AppStatus::Kind::idle) || status().is(AppStatus::Kind::error));
}

QString PolishTabModel::modelSectionHelp() const {
    return PolishModels::detail(selectedModel()) + QStringLiteral("\n\n") + L("polish.local_only");
}

QString PolishTabModel::testSectionHelp() const {
    return Localization::format("polish.test.uses", PolishModels::displayName(selectedModel())) +
           QStringLiteral("\n\n") + L("polish.test.help.extra");
}

void PolishTabModel::refreshModelStatus() {
    files_.clearErrors();
    modelDownloaded_ = engine_->isModelDownloaded(selectedModel());
    emit changed();
}

void PolishTabModel::downloadSelectedModel() {
    if (!canChangeModelFile()) {
        return;
    }
    files_.download(
        [engine = engine_, model = selectedModel()](ModelDownloadController::Progress progress) {
            return engine->prepareModel(model, std::move(progress));
        },
        [this](std::exception_ptr) { refreshModelStatus(); });
}

void PolishTabModel::deleteSelectedModel() {
    if (canDeleteModel() && files_.remove([this] { engine_->deleteModel(selectedModel()); })) {
        refreshModelStatus();
    }
}

void PolishTabModel::cleanupRuntimeServers() {
    if (!canCleanup()) {
        return;
    }
    cleanupMessage_.reset();
    try {
        const int ended = engine_->cleanupResidualServers();
        // The button first stops our own server; "stopped 0" would then read as if nothing happened.
        cleanupMessage_ = ended > 0 ? Localization::format("polish.runtime.cleanup.done", QString::number(ended))
                                    : Localization::text("polish.runtime.cleanup.none");
    } catch (...) {
        cleanupMessage_ = describeEngineError(std::current_exception());
    }
    emit changed();
}

void PolishTabModel::runPolishTest() {
    if (!canRunPolishTest()) {
        return;
    }
    testInProgress_ = true;
    testError_.reset();
    testResultText_.clear();
    testResultModelName_.reset();
    testResultDurationSeconds_.reset();
    emit changed();
    test(testInputText_, selectedModel(), PolishSettings::prompt());
}

Task<> PolishTabModel::test(QString input, PolishModel model, QString prompt) {
    QPointer<PolishTabModel> self(this);
    const Duration start = Scheduler::current().monotonicNow();
    std::optional<QString> result;
    std::exception_ptr failure;
    try {
        result = co_await engine_->polish(std::move(input), model, std::move(prompt));
    } catch (...) {
        failure = std::current_exception();
    }
    if (!self) {
        co_return;
    }
    if (result) {
        testResultText_ = *result;
        testResultModelName_ = PolishModels::displayName(model);
        testResultDurationSeconds_ =
            std::chrono::duration<double>(Scheduler::current().monotonicNow() - start).count();
    } else {
        testError_ = describeEngineError(failure);
    }
    testInProgress_ = false;
    refreshModelStatus();
}

} // namespace quillory
