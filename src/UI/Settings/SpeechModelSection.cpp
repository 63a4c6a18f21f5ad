#include "UI/Settings/SpeechModelSection.h"

#include "Runtime/DefaultsStore.h"
#include "Runtime/Localization.h"
#include "UI/Settings/ModelTabWidgets.h"
#include "UI/Settings/SettingsWidgets.h"

#include <QComboBox>
#include <QFormLayout>
#include <QHBoxLayout>
#include <QLabel>
#include <QPointer>
#include <QProgressBar>
#include <QPushButton>
#include <QSignalBlocker>
#include <QVBoxLayout>

namespace quillory {

SpeechModelSectionModel::SpeechModelSectionModel(std::shared_ptr<SpeechModelCatalogue> catalogue, QObject* parent)
    : QObject(parent), catalogue_(std::move(catalogue)), shownId_(catalogue_->selectedId()) {
    shownDownloaded_ = catalogue_->isDownloaded(shownId_);
    connect(&files_, &ModelDownloadController::changed, this, &SpeechModelSectionModel::changed);
    // The recogniser loads the model again when the setting changes (here or in another
    // process); the answer after that is the device it loads on.
    connect(&DefaultsStore::standard(), &DefaultsStore::valueChanged, this, [this](const QString& key) {
        if (key == QLatin1String(ComputeDevices::preferenceKey)) {
            refreshDevice();
        }
    });
    refreshDevice();
}

void SpeechModelSectionModel::setStatus(const AppStatus& status) {
    files_.setStatus(status);
}

bool SpeechModelSectionModel::isBusy() const {
    return files_.sessionBusy();
}

void SpeechModelSectionModel::show(const QString& id) {
    if (id == shownId_ || !canChange()) {
        return;
    }
    shownId_ = id;
    refresh();
}

std::optional<SpeechModelEntry> SpeechModelSectionModel::shownEntry() const {
    for (const SpeechModelEntry& entry : catalogue_->models()) {
        if (entry.id == shownId_) {
            return entry;
        }
    }
    return std::nullopt;
}

bool SpeechModelSectionModel::shownIsSelected() const {
    return catalogue_->selectedId() == shownId_;
}

bool SpeechModelSectionModel::canChange() const {
    return files_.canChangeFiles();
}

bool SpeechModelSectionModel::canDelete() const {
    return canChange() && shownDownloaded_ && !shownIsSelected();
}

bool SpeechModelSectionModel::canSelect() const {
    return canChange() && shownDownloaded_ && !shownIsSelected();
}

void SpeechModelSectionModel::refresh() {
    files_.clearErrors();
    shownDownloaded_ = catalogue_->isDownloaded(shownId_);
    emit changed();
}

void SpeechModelSectionModel::download() {
    if (!canDownload()) {
        return;
    }
    files_.download(
        [catalogue = catalogue_, id = shownId_](ModelDownloadController::Progress progress) {
            return catalogue->download(id, std::move(progress));
        },
        [this](std::exception_ptr) { refresh(); });
}

void SpeechModelSectionModel::deleteShown() {
    if (canDelete() && files_.remove([this] { catalogue_->remove(shownId_); })) {
        refresh();
    }
}

void SpeechModelSectionModel::selectShown() {
    if (!canSelect()) {
        return;
    }
    catalogue_->select(shownId_);
    emit changed();
}

ComputeDevicePreference SpeechModelSectionModel::devicePreference() const {
    return ComputeDevices::preference(DefaultsStore::standard());
}

void SpeechModelSectionModel::setDevicePreference(ComputeDevicePreference preference) {
    if (preference == devicePreference()) {
        return;
    }
    DefaultsStore::standard().setValue(QLatin1String(ComputeDevices::preferenceKey), ComputeDevices::name(preference));
}

QString SpeechModelSectionModel::deviceStatus() const {
    if (!device_) {
        return L("speech.device.pending");
    }
    return device_->gpu ? L("speech.device.now_gpu").arg(device_->name, device_->reason)
                        : L("speech.device.now_cpu").arg(device_->reason);
}

void SpeechModelSectionModel::refreshDevice() {
    device_.reset();
    emit changed();
    askDevice();
}

Task<> SpeechModelSectionModel::askDevice() {
    QPointer<SpeechModelSectionModel> self(this);
    const int query = ++deviceQuery_;
    std::optional<RecognitionDevice> device;
    try {
        device = co_await catalogue_->recognitionDevice();
    } catch (...) {
        device.reset(); // unknown here: decided at the next dictation
    }
    if (!self || query != deviceQuery_) {
        co_return;
    }
    device_ = std::move(device);
    emit changed();
}

SpeechModelSection::SpeechModelSection(SpeechModelSectionModel* model, QWidget* parent)
    : QWidget(parent), model_(model) {
    auto* layout = new QVBoxLayout(this);
    layout->setContentsMargins(0, 0, 0, 0);

    auto* form = new QFormLayout;
    picker_ = new QComboBox(this);
    picker_->setObjectName(QStringLiteral("speechModelPicker"));
    for (const SpeechModelEntry& entry : model_->models()) {
        picker_->addItem(entry.displayName, entry.id);
    }
    form->addRow(L("speech.model.label"), picker_);
    size_ = new QLabel(this);
    form->addRow(L("polish.model.download_size"), size_);
    state_ = new QLabel(this);
    form->addRow(L("polish.model.status"), state_);
    layout->addLayout(form);

    detail_ = makeCaption({}, this);
    layout->addWidget(detail_);
    progress_ = new QProgressBar(this);
    progress_->setObjectName(QStringLiteral("speechModelProgress"));
    layout->addWidget(progress_);
    downloadError_ = errorLabel(this);
    deleteError_ = errorLabel(this);
    layout->addWidget(downloadError_);
    layout->addWidget(deleteError_);

    auto* buttons = new QHBoxLayout;
    download_ = new QPushButton(this);
    download_->setObjectName(QStringLiteral("speechModelDownload"));
    delete_ = new QPushButton(L("polish.model.delete"), this);
    delete_->setObjectName(QStringLiteral("speechModelDelete"));
    select_ = new QPushButton(L("speech.model.use"), this);
    select_->setObjectName(QStringLiteral("speechModelSelect"));
    buttons->addWidget(download_);
    buttons->addWidget(delete_);
    buttons->addStretch();
    buttons->addWidget(select_);
    layout->addLayout(buttons);

    auto* deviceForm = new QFormLayout;
    device_ = new QComboBox(this);
    device_->setObjectName(QStringLiteral("speechDevicePicker"));
    device_->addItem(L("speech.device.auto"), int(ComputeDevicePreference::automatic));
    device_->addItem(L("speech.device.cpu"), int(ComputeDevicePreference::cpu));
    device_->addItem(L("speech.device.gpu"), int(ComputeDevicePreference::gpu));
    deviceForm->addRow(L("speech.device.label"), device_);
    layout->addLayout(deviceForm);
    deviceStatus_ = makeCaption({}, this);
    deviceStatus_->setObjectName(QStringLiteral("speechDeviceStatus"));
    layout->addWidget(deviceStatus_);
    layout->addWidget(makeCaption(L("speech.device.help"), this));

    connect(device_, &QComboBox::currentIndexChanged, this, [this](int index) {
        model_->setDevicePreference(ComputeDevicePreference(device_->itemData(index).toInt()));
    });
    connect(picker_, &QComboBox::currentIndexChanged, this,
            [this](int index) { model_->show(picker_->itemData(index).toString()); });
    connect(download_, &QPushButton::clicked, model_, &SpeechModelSectionModel::download);
    connect(delete_, &QPushButton::clicked, model_, &SpeechModelSectionModel::deleteShown);
    connect(select_, &QPushButton::clicked, model_, &SpeechModelSectionModel::selectShown);
    connect(model_, &SpeechModelSectionModel::changed, this, &SpeechModelSection::render);
    render();
}

void SpeechModelSection::render() {
    {
        const QSignalBlocker blocker(picker_);
        picker_->setCurrentIndex(picker_->findData(model_->shownId()));
    }
    picker_->setEnabled(model_->canChange());
    const auto entry = model_->shownEntry();
    size_->setText(entry ? entry->downloadSizeDescription : QString());
    detail_->setText(entry ? entry->detail : QString());
    QString state = model_->shownDownloaded() ? L("polish.model.downloaded") : L("polish.model.not_downloaded");
    if (model_->shownIsSelected()) {
        state += QStringLiteral(" · ") + L("speech.model.in_use");
    }
    state_->setText(state);
    setStatusColour(state_, model_->shownDownloaded());
    showProgress(progress_, model_->downloadInProgress(), model_->downloadReceived(), model_->downloadTotal());
    showOptionalText(downloadError_, model_->downloadError());
    showOptionalText(deleteError_, model_->deleteError());
    download_->setText(model_->shownDownloaded() ? L("polish.model.redownload") : L("polish.model.download"));
    download_->setEnabled(model_->canDownload());
    delete_->setVisible(model_->shownDownloaded());
    delete_->setEnabled(model_->canDelete());
    select_->setEnabled(model_->canSelect());
    {
        const QSignalBlocker blocker(device_);
        device_->setCurrentIndex(device_->findData(int(model_->devicePreference())));
    }
    deviceStatus_->setText(model_->deviceStatus());
}

} // namespace quillory
