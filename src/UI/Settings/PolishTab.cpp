#include "UI/Settings/PolishTab.h"

#include "AI/PolishModel.h"
#include "App/AppState.h"
#include "Runtime/Localization.h"
#include "UI/Settings/HelpPopoverButton.h"
#include "UI/Settings/ModelTabWidgets.h"
#include "UI/Settings/SettingsTabs.h"
#include "UI/Settings/SettingsWidgets.h"
#include "UI/Settings/PolishTabModel.h"
#include "UI/Settings/ServerEngineModel.h"
#include "UI/Settings/ServerEngineSection.h"
#include "UI/Settings/SpeechModelSection.h"

#include <QCheckBox>
#include <QComboBox>
#include <QFormLayout>
#include <QHBoxLayout>
#include <QLabel>
#include <QPlainTextEdit>
#include <QProgressBar>
#include <QPushButton>
#include <QSignalBlocker>
#include <QVBoxLayout>

namespace quillory {

PolishTab::PolishTab(PolishTabModel* model, SpeechModelSectionModel* speechModels, QWidget* parent,
                     const QList<ServerEngineModel*>& servers)
    : QWidget(parent), model_(model) {
    SettingsPage* page = SettingsPage::fill(this);
    buildPolishingSection(page);
    buildModelSection(page);
    buildPromptSection(page);
    buildTestSection(page);
    if (speechModels) {
        buildSpeechModelSection(page, speechModels);
    }
    for (ServerEngineModel* server : servers) {
        ServerEngineSection::add(page, server);
    }
    page->finish();

    connect(enable_, &QCheckBox::toggled, model_, &PolishTabModel::setPolishEnabled);
    connect(picker_, &QComboBox::currentIndexChanged, this, [this](int index) {
        if (auto m = PolishModels::fromId(picker_->itemData(index).toString())) {
            model_->setSelectedModel(*m);
        }
    });
    connect(download_, &QPushButton::clicked, model_, &PolishTabModel::downloadSelectedModel);
    connect(delete_, &QPushButton::clicked, model_, &PolishTabModel::deleteSelectedModel);
    connect(cleanup_, &QPushButton::clicked, model_, &PolishTabModel::cleanupRuntimeServers);
    connect(prompt_, &QPlainTextEdit::textChanged, this, [this] { model_->setPrompt(prompt_->toPlainText()); });
    connect(resetPrompt_, &QPushButton::clicked, this, [this] {
        model_->resetPrompt();
        const QSignalBlocker blocker(prompt_);
        prompt_->setPlainText(model_->promptForEditing());
    });
    connect(testInput_, &QPlainTextEdit::textChanged, this,
            [this] { model_->setTestInputText(testInput_->toPlainText()); });
    connect(runTest_, &QPushButton::clicked, model_, &PolishTabModel::runPolishTest);
    connect(model_, &PolishTabModel::changed, this, &PolishTab::render);
    render();
}

void PolishTab::buildPolishingSection(SettingsPage* page) {
    auto* section = page->addSection(L("polish.section.title"));
    enable_ = new QCheckBox(L("polish.enable"), section);
    enable_->setObjectName(QStringLiteral("polishEnable"));
    section->body()->addWidget(enable_);
    section->body()->addWidget(makeCaption(L("polish.description"), section));
}

void PolishTab::buildModelSection(SettingsPage* page) {
    auto* section = page->addSection(L("polish.model.section"));
    modelHelp_ = helpButton(model_->modelSectionHelp(), section);
    section->addHeaderWidget(modelHelp_);
    auto* form = new QFormLayout;
    picker_ = new QComboBox(section);
    picker_->setObjectName(QStringLiteral("polishModelPicker"));
    for (PolishModel m : PolishModels::allCases) {
        picker_->addItem(PolishModels::displayName(m), PolishModels::id(m));
    }
    form->addRow(L("polish.model.label"), picker_);
    downloadSize_ = new QLabel(section);
    form->addRow(L("polish.model.download_size"), downloadSize_);
    memory_ = new QLabel(section);
    form->addRow(L("polish.model.memory"), memory_);
    section->body()->addLayout(form);
    downloadProgress_ = new QProgressBar(section);
    downloadProgress_->setObjectName(QStringLiteral("polishDownloadProgress"));
    section->body()->addWidget(downloadProgress_);
    downloadError_ = errorLabel(section);
    downloadError_->setObjectName(QStringLiteral("polishDownloadError"));
    deleteError_ = errorLabel(section);
    deleteError_->setObjectName(QStringLiteral("polishDeleteError"));
    section->body()->addWidget(downloadError_);
    section->body()->addWidget(deleteError_);
    auto* stateRow = new QHBoxLayout;
    stateRow->addWidget(new QLabel(L("polish.model.status"), section));
    modelState_ = new QLabel(section);
    modelState_->setObjectName(QStringLiteral("polishModelState"));
    stateRow->addWidget(modelState_);
    stateRow->addStretch();
    download_ = new QPushButton(section);
    download_->setObjectName(QStringLiteral("polishDownload"));
    delete_ = destructiveButton(L("polish.model.delete"), section);
    delete_->setObjectName(QStringLiteral("polishDelete"));
    stateRow->addWidget(download_);
    stateRow->addWidget(delete_);
    section->body()->addLayout(stateRow);
    cleanup_ = destructiveButton(L("polish.runtime.cleanup"), section);
    cleanup_->setObjectName(QStringLiteral("polishCleanup"));
    auto* cleanupRow = new QHBoxLayout;
    cleanupRow->addWidget(cleanup_);
    cleanupRow->addStretch();
    section->body()->addLayout(cleanupRow);
    cleanupMessage_ = makeCaption({}, section);
    cleanupMessage_->setObjectName(QStringLiteral("polishCleanupMessage"));
    section->body()->addWidget(cleanupMessage_);
}

void PolishTab::buildPromptSection(SettingsPage* page) {
    auto* section = page->addSection(L("polish.prompt.section"));
    section->body()->addWidget(makeCaption(L("polish.prompt.hint"), section));
    prompt_ = new QPlainTextEdit(section);
    prompt_->setObjectName(QStringLiteral("polishPrompt"));
    prompt_->setMinimumHeight(120);
    prompt_->setPlainText(model_->promptForEditing());
    passWheelToPageUnlessFocused(prompt_);
    section->body()->addWidget(prompt_);
    resetPrompt_ = new QPushButton(L("polish.prompt.reset"), section);
    resetPrompt_->setObjectName(QStringLiteral("polishPromptReset"));
    auto* resetRow = new QHBoxLayout;
    resetRow->addStretch();
    resetRow->addWidget(resetPrompt_);
    section->body()->addLayout(resetRow);
}

void PolishTab::buildTestSection(SettingsPage* page) {
    auto* section = page->addSection(L("polish.test.section"));
    testHelp_ = helpButton(model_->testSectionHelp(), section);
    section->addHeaderWidget(testHelp_);
    section->body()->addWidget(new QLabel(L("polish.test.input"), section));
    testInput_ = new QPlainTextEdit(section);
    testInput_->setObjectName(QStringLiteral("polishTestInput"));
    testInput_->setMinimumHeight(120);
    passWheelToPageUnlessFocused(testInput_);
    section->body()->addWidget(testInput_);
    runTest_ = new QPushButton(L("polish.test.run"), section);
    runTest_->setObjectName(QStringLiteral("polishTestRun"));
    auto* runRow = new QHBoxLayout;
    runRow->addWidget(runTest_);
    runRow->addStretch();
    section->body()->addLayout(runRow);
    testProgress_ = new QProgressBar(section);
    testProgress_->setObjectName(QStringLiteral("polishTestProgress"));
    testProgress_->setRange(0, 0);
    testProgress_->setFormat(L("polish.test.running"));
    testProgress_->setTextVisible(true);
    section->body()->addWidget(testProgress_);
    testError_ = errorLabel(section);
    testError_->setObjectName(QStringLiteral("polishTestError"));
    section->body()->addWidget(testError_);
    section->body()->addWidget(new QLabel(L("polish.test.output"), section));
    testOutput_ = new QPlainTextEdit(section);
    testOutput_->setObjectName(QStringLiteral("polishTestOutput"));
    testOutput_->setReadOnly(true);
    testOutput_->setMinimumHeight(120);
    testOutput_->setPlaceholderText(L("polish.test.output.placeholder"));
    passWheelToPageUnlessFocused(testOutput_);
    section->body()->addWidget(testOutput_);
    testResultModel_ = makeCaption({}, section);
    testResultModel_->setObjectName(QStringLiteral("polishTestResultModel"));
    testResultDuration_ = makeCaption({}, section);
    testResultDuration_->setObjectName(QStringLiteral("polishTestResultDuration"));
    section->body()->addWidget(testResultModel_);
    section->body()->addWidget(testResultDuration_);
}

void PolishTab::buildSpeechModelSection(SettingsPage* page, SpeechModelSectionModel* speechModels) {
    auto* section = page->addSection(L("speech.model.section"));
    speechSection_ = new SpeechModelSection(speechModels, section);
    section->body()->addWidget(speechSection_);
}

void PolishTab::showEvent(QShowEvent* event) {
    QWidget::showEvent(event);
    model_->refreshModelStatus();
    if (speechSection_) {
        speechSection_->model()->refresh();
    }
}

void PolishTab::render() {
    const PolishModel selected = model_->selectedModel();
    {
        const QSignalBlocker blockEnable(enable_);
        enable_->setChecked(model_->polishEnabled());
        const QSignalBlocker blockPicker(picker_);
        picker_->setCurrentIndex(picker_->findData(PolishModels::id(selected)));
    }
    picker_->setEnabled(model_->canChangeModelFile());
    updateHelpButton(modelHelp_, model_->modelSectionHelp());
    updateHelpButton(testHelp_, model_->testSectionHelp());
    downloadSize_->setText(PolishModels::downloadSizeDescription(selected));
    memory_->setText(PolishModels::memoryRequirementDescription(selected));
    showProgress(downloadProgress_, model_->modelDownloadInProgress(), model_->downloadReceived(),
                 model_->downloadTotal());
    showOptionalText(downloadError_, model_->modelDownloadError());
    showOptionalText(deleteError_, model_->modelDeleteError());
    const bool downloaded = model_->modelDownloaded();
    modelState_->setText(downloaded ? L("polish.model.downloaded") : L("polish.model.not_downloaded"));
    setStatusColour(modelState_, downloaded);
    download_->setText(downloaded ? L("polish.model.redownload") : L("polish.model.download"));
    download_->setEnabled(model_->canChangeModelFile());
    delete_->setVisible(downloaded);
    delete_->setEnabled(model_->canDeleteModel());
    cleanup_->setEnabled(model_->canCleanup());
    showOptionalText(cleanupMessage_, model_->cleanupMessage());

    testInput_->setEnabled(model_->canEditTestInput());
    runTest_->setEnabled(model_->canRunPolishTest());
    testProgress_->setVisible(model_->testInProgress());
    showOptionalText(testError_, model_->testError());
    if (testOutput_->toPlainText() != model_->testResultText()) {
        testOutput_->setPlainText(model_->testResultText());
    }
    const bool hasResult = model_->testResultModelName().has_value();
    testResultModel_->setVisible(hasResult);
    testResultDuration_->setVisible(hasResult && model_->testResultDurationSeconds().has_value());
    if (hasResult) {
        testResultModel_->setText(Localization::format("polish.test.result.model", *model_->testResultModelName()));
        testResultDuration_->setText(Localization::format(
            "polish.test.result.duration", QString::number(model_->testResultDurationSeconds().value_or(0), 'f', 2)));
    }
}

namespace {
std::shared_ptr<SpeechModelCatalogue>& settingsSpeechCatalogue() {
    static std::shared_ptr<SpeechModelCatalogue> catalogue;
    return catalogue;
}
} // namespace

void setSpeechModelCatalogueForSettings(std::shared_ptr<SpeechModelCatalogue> catalogue) {
    settingsSpeechCatalogue() = std::move(catalogue);
}

std::shared_ptr<SpeechModelCatalogue> speechModelCatalogueForSettings() {
    return settingsSpeechCatalogue();
}

QWidget* makePolishTab(AppState& state, QWidget* parent) {
    PolishTabModel::EnabledBinding enabled{
        [&state] { return state.aiPolishEnabled(); },
        [&state](bool on) { state.setAiPolishEnabled(on); },
    };
    auto* model = new PolishTabModel(LocalModelEngine::shared(), std::move(enabled));
    SpeechModelSectionModel* speechModels = nullptr;
    if (settingsSpeechCatalogue()) {
        speechModels = new SpeechModelSectionModel(settingsSpeechCatalogue());
    }
    auto* recognitionServer = new ServerEngineModel(ServerEngineKind::recognition);
    auto* polishServer = new ServerEngineModel(ServerEngineKind::polish);
    auto* tab = new PolishTab(model, speechModels, parent, {recognitionServer, polishServer});
    recognitionServer->setParent(tab);
    polishServer->setParent(tab);
    model->setParent(tab);
    if (speechModels) {
        speechModels->setParent(tab);
    }
    auto sync = [model, speechModels, &state] {
        model->setStatus(state.status());
        if (speechModels) {
            speechModels->setStatus(state.status());
        }
    };
    sync();
    QObject::connect(&state, &AppState::statusChanged, tab, sync);
    QObject::connect(&state, &AppState::aiPolishEnabledChanged, model, &PolishTabModel::changed);
    return tab;
}

} // namespace quillory
