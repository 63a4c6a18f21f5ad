#include "UI/Settings/ServerEngineSection.h"

#include "Runtime/Localization.h"
#include "UI/Settings/ModelTabWidgets.h"
#include "UI/Settings/ServerEngineModel.h"
#include "UI/Settings/SettingsWidgets.h"

#include <QCheckBox>
#include <QComboBox>
#include <QFormLayout>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QVBoxLayout>

namespace quillory {

ServerEngineSection* ServerEngineSection::add(SettingsPage* page, ServerEngineModel* model) {
    const bool recognition = model->kind() == ServerEngineKind::recognition;
    auto* section = page->addSection(L(recognition ? "settings.server.recognition.title" : "settings.server.polish.title"));
    auto* card = new ServerEngineSection(model, section);
    section->body()->addWidget(card);
    return card;
}

ServerEngineSection::ServerEngineSection(ServerEngineModel* model, QWidget* parent)
    : QWidget(parent), model_(model) {
    const bool recognition = model->kind() == ServerEngineKind::recognition;
    const QString prefix = recognition ? QStringLiteral("recognition") : QStringLiteral("polish");
    auto* column = new QVBoxLayout(this);
    column->setContentsMargins(0, 0, 0, 0);
    auto* form = new QFormLayout;
    engine_ = new QComboBox(this);
    engine_->setObjectName(prefix + QStringLiteral("Engine"));
    engine_->addItem(L("settings.server.engine.device"), false);
    engine_->addItem(L("settings.server.engine.server"), true);
    form->addRow(L("settings.server.engine"), engine_);
    url_ = new QLineEdit(this);
    url_->setObjectName(prefix + QStringLiteral("ServerUrl"));
    url_->setPlaceholderText(QStringLiteral("https://server.example.org:8080"));
    form->addRow(L("settings.server.url"), url_);
    api_ = new QComboBox(this);
    api_->setObjectName(prefix + QStringLiteral("ServerApi"));
    for (const QString& name : model->apiNames()) {
        api_->addItem(L(("settings.server.api." + name.toLatin1()).constData()), name);
    }
    form->addRow(L("settings.server.api"), api_);
    modelName_ = new QLineEdit(this);
    modelName_->setObjectName(prefix + QStringLiteral("ServerModel"));
    modelName_->setPlaceholderText(L("settings.server.model.placeholder"));
    form->addRow(L("settings.server.model"), modelName_);
    // The key is never shown: the field only takes a new one.
    apiKey_ = new QLineEdit(this);
    apiKey_->setObjectName(prefix + QStringLiteral("ServerApiKey"));
    apiKey_->setEchoMode(QLineEdit::Password);
    removeApiKey_ = new QPushButton(L("settings.server.apikey.remove"), this);
    removeApiKey_->setObjectName(prefix + QStringLiteral("ServerApiKeyRemove"));
    auto* keyRow = new QHBoxLayout;
    keyRow->addWidget(apiKey_, 1);
    keyRow->addWidget(removeApiKey_);
    form->addRow(L("settings.server.apikey"), keyRow);
    column->addLayout(form);
    private_ = new QCheckBox(L("settings.server.private"), this);
    private_->setObjectName(prefix + QStringLiteral("ServerPrivate"));
    column->addWidget(private_);
    column->addWidget(makeCaption(L(recognition ? "settings.server.recognition.caption"
                                                : "settings.server.polish.caption"),
                                  this));
    auto* buttons = new QHBoxLayout;
    save_ = new QPushButton(L("settings.server.save"), this);
    save_->setObjectName(prefix + QStringLiteral("ServerSave"));
    test_ = new QPushButton(L("settings.server.test"), this);
    test_->setObjectName(prefix + QStringLiteral("ServerTest"));
    buttons->addWidget(save_);
    buttons->addWidget(test_);
    buttons->addStretch();
    column->addLayout(buttons);
    error_ = errorLabel(this);
    error_->setObjectName(prefix + QStringLiteral("ServerError"));
    column->addWidget(error_);
    result_ = makeCaption({}, this);
    result_->setObjectName(prefix + QStringLiteral("ServerResult"));
    column->addWidget(result_);

    load();
    connect(engine_, &QComboBox::currentIndexChanged, this, &ServerEngineSection::render);
    connect(save_, &QPushButton::clicked, this, [this] {
        ServerEngineModel::Fields f;
        f.useServer = engine_->currentData().toBool();
        f.url = url_->text();
        f.api = api_->currentData().toString();
        f.model = modelName_->text();
        f.privateConfirmed = private_->isChecked();
        if (model_->apply(f) && !apiKey_->text().trimmed().isEmpty() && model_->setApiKey(apiKey_->text())) {
            apiKey_->clear();
        }
    });
    connect(removeApiKey_, &QPushButton::clicked, this, [this] {
        apiKey_->clear();
        model_->setApiKey({});
    });
    connect(test_, &QPushButton::clicked, model_, &ServerEngineModel::test);
    connect(model_, &ServerEngineModel::changed, this, &ServerEngineSection::render);
    render();
}

void ServerEngineSection::load() {
    const ServerEngineModel::Fields f = model_->stored();
    engine_->setCurrentIndex(f.useServer ? 1 : 0);
    url_->setText(f.url);
    api_->setCurrentIndex(std::max(0, api_->findData(f.api)));
    modelName_->setText(f.model);
    private_->setChecked(f.privateConfirmed);
}

void ServerEngineSection::render() {
    const bool server = engine_->currentData().toBool();
    for (QWidget* w : {static_cast<QWidget*>(url_), static_cast<QWidget*>(api_),
                       static_cast<QWidget*>(modelName_), static_cast<QWidget*>(private_),
                       static_cast<QWidget*>(apiKey_)}) {
        w->setEnabled(server);
    }
    const bool keyStored = model_->apiKeyStored();
    apiKey_->setPlaceholderText(L(keyStored ? "settings.server.apikey.stored" : "settings.server.apikey.none"));
    removeApiKey_->setEnabled(keyStored);
    error_->setText(model_->error());
    error_->setVisible(!model_->error().isEmpty());
    // Only a stored server can be tested.
    test_->setEnabled(!model_->testing() && model_->stored().useServer);
    if (model_->testing()) {
        result_->setText(L("settings.server.testing"));
    } else if (const auto& r = model_->testResult()) {
        result_->setText(r->text);
    } else {
        result_->clear();
    }
    result_->setVisible(!result_->text().isEmpty());
}

} // namespace quillory
