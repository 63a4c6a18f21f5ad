#include "UI/Settings/PolishTab.h"

#include "AI/PolishModel.h"
#include "App/AppState.h"
#include "Runtime/Localization.h"
#include "UI/Settings/HelpPopoverButton.h"
#include "UI/Settings/ModelTabWidgets.h"
#include "UI/Settings/SettingsTabs.h"
#include "UI/Settings/SettingsWidgets.h"
#include "UI/Settings/PolishTabModel.h"
#include "UI/Settings/SpeechModelSection.h"

#include <QCheckBox>
#include <QComboBox>
#include <QFormLayout>
#include <QHBoxLayout>
#include <QLabel>
#include <QPlainTextEdit>
#include <QProgressBar>
#include <QPushButton>
#include <QScrollArea>
#include <QSignalBlocker>
#include <QVBoxLayout>

namespace quillory {

namespace {
QPushButton* destructiveButton(const QString& text, QWidget* parent) {
    auto* button = new QPushButton(text, parent);
    button->setStyleSheet(QStringLiteral("QPushButton:enabled { color: #d70015; }"));
    return button;
}
} // namespace

PolishTab::PolishTab(PolishTabModel* model, SpeechModelSectionModel* speechModels, QWidget* parent)
    : QWidget(parent), model_(model) {
    auto* outer = new QVBoxLayout(this);
    outer->setContentsMargins(0, 0, 0, 0);
    auto* scroll = new QScrollArea(this);
    scroll->setWidgetResizable(true);
    scroll->setFrameShape(QFrame::NoFrame);
    scroll->setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
    outer->addWidget(scroll);
    auto* content = new QWidget(scroll);
    scroll->setWidget(content);
    auto* layout = new QVBoxLayout(content);
    layout->setContentsMargins(12, 12, 12, 12);

    // Polishing
    layout->addLayout(sectionHeader(L("polish.section.title"), {}, content));
    enable_ = new QCheckBox(L("polish.enable"), content);
    enable_->setObjectName(QStringLiteral("polishEnable"));
    layout->addWidget(enable_);
    QLabel* description = captionLabel(content);
    description->setText(L("polish.description"));
    layout->addWidget(description);

    // Model
    auto* modelHeader = new QHBoxLayout;
    modelHeader->addLayout(sectionHeader(L("polish.model.section"), {}, content));
    modelHelp_ = helpButton(model_->modelSectionHelp(), content);
    modelHeader->addWidget(modelHelp_);
    layout->addLayout(modelHeader);
    auto* form = new QFormLayout;
    picker_ = new QComboBox(content);
    picker_->setObjectName(QStringLiteral("polishModelPicker"));
    for (PolishModel m : PolishModels::allCases) {
        picker_->addItem(PolishModels::displayName(m), PolishModels::id(m));
    }
    form->addRow(L("polish.model.label"), picker_);
    downloadSize_ = new QLabel(content);
    form->addRow(L("polish.model.download_size"), downloadSize_);
    memory_ = new QLabel(content);
    form->addRow(L("polish.model.memory"), memory_);
    layout->addLayout(form);
    downloadProgress_ = new QProgressBar(content);
    downloadProgress_->setObjectName(QStringLiteral("polishDownloadProgress"));
    layout->addWidget(downloadProgress_);
    downloadError_ = errorLabel(content);
    downloadError_->setObjectName(QStringLiteral("polishDownloadError"));
    deleteError_ = errorLabel(content);
    deleteError_->setObjectName(QStringLiteral("polishDeleteError"));
    layout->addWidget(downloadError_);
    layout->addWidget(deleteError_);
    auto* stateRow = new QHBoxLayout;
    stateRow->addWidget(new QLabel(L("polish.model.status"), content));
    modelState_ = new QLabel(content);
    modelState_->setObjectName(QStringLiteral("polishModelState"));
    stateRow->addWidget(modelState_);
    stateRow->addStretch();
    download_ = new QPushButton(content);
    download_->setObjectName(QStringLiteral("polishDownload"));
    delete_ = destructiveButton(L("polish.model.delete"), content);
    delete_->setObjectName(QStringLiteral("polishDelete"));
    stateRow->addWidget(download_);
    stateRow->addWidget(delete_);
    layout->addLayout(stateRow);
    cleanup_ = destructiveButton(L("polish.runtime.cleanup"), content);
    cleanup_->setObjectName(QStringLiteral("polishCleanup"));
    auto* cleanupRow = new QHBoxLayout;
    cleanupRow->addWidget(cleanup_);
    cleanupRow->addStretch();
    layout->addLayout(cleanupRow);
    cleanupMessage_ = captionLabel(content);
    cleanupMessage_->setObjectName(QStringLiteral("polishCleanupMessage"));
    layout->addWidget(cleanupMessage_);

    // Prompt
    layout->addSpacing(8);
    layout->addLayout(sectionHeader(L("polish.prompt.section"), {}, content));
    QLabel* hint = captionLabel(content);
    hint->setText(L("polish.prompt.hint"));
    layout->addWidget(hint);
    prompt_ = new QPlainTextEdit(content);
    prompt_->setObjectName(QStringLiteral("polishPrompt"));
    prompt_->setMinimumHeight(120);
    prompt_->setPlainText(model_->promptForEditing());
    passWheelToPageUnlessFocused(prompt_);
    layout->addWidget(prompt_);
    resetPrompt_ = new QPushButton(L("polish.prompt.reset"), content);
    resetPrompt_->setObjectName(QStringLiteral("polishPromptReset"));
    auto* resetRow = new QHBoxLayout;
    resetRow->addStretch();
    resetRow->addWidget(resetPrompt_);
    layout->addLayout(resetRow);

    // Test
    layout->addSpacing(8);
    auto* testHeader = new QHBoxLayout;
    testHeader->addLayout(sectionHeader(L("polish.test.section"), {}, content));
    testHelp_ = helpButton(model_->testSectionHelp(), content);
    testHeader->addWidget(testHelp_);
    layout->addLayout(testHeader);
    layout->addWidget(new QLabel(L("polish.test.input"), content));
    testInput_ = new QPlainTextEdit(content);
    testInput_->setObjectName(QStringLiteral("polishTestInput"));
    testInput_->setMinimumHeight(120);
    passWheelToPageUnlessFocused(testInput_);
    layout->addWidget(testInput_);
    runTest_ = new QPushButton(L("polish.test.run"), content);
    runTest_->setObjectName(QStringLiteral("polishTestRun"));
    auto* runRow = new QHBoxLayout;
    runRow->addWidget(runTest_);
    runRow->addStretch();
    layout->addLayout(runRow);
    testProgress_ = new QProgressBar(content);
    testProgress_->setObjectName(QStringLiteral("polishTestProgress"));
    testProgress_->setRange(0, 0);
    testProgress_->setFormat(L("polish.test.running"));
    testProgress_->setTextVisible(true);
    layout->addWidget(testProgress_);
    testError_ = errorLabel(content);
    testError_->setObjectName(QStringLiteral("polishTestError"));
    layout->addWidget(testError_);
    layout->addWidget(new QLabel(L("polish.test.output"), content));
    testOutput_ = new QPlainTextEdit(content);
    testOutput_->setObjectName(QStringLiteral("polishTestOutput"));
    testOutput_->setReadOnly(true);
    testOutput_->setMinimumHeight(120);
    testOutput_->setPlaceholderText(L("polish.test.output.placeholder"));
    passWheelToPageUnlessFocused(testOutput_);
    layout->addWidget(testOutput_);
    testResultModel_ = captionLabel(content);
    testResultModel_->setObjectName(QStringLiteral("polishTestResultModel"));
    testResultDuration_ = captionLabel(content);
    testResultDuration_->setObjectName(QStringLiteral("polishTestResultDuration"));
    layout->addWidget(testResultModel_);
    layout->addWidget(testResultDuration_);

    if (speechModels) {
        layout->addSpacing(8);
        speechSection_ = new SpeechModelSection(speechModels, content);
        layout->addWidget(speechSection_);
    }
    layout->addStretch();

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
    auto* tab = new PolishTab(model, speechModels, parent);
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
