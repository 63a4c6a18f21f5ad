#pragma once

#include <QWidget>

class QCheckBox;
class QComboBox;
class QLabel;
class QLineEdit;
class QPushButton;

namespace quillory {

class ServerEngineModel;
class SettingsPage;

/// The card that chooses where recognition or polish runs: this computer or a server (address,
/// API, model, confirmation of plain http to a private address), with Save and Test. It shows the
/// model's state and hands every action to it.
class ServerEngineSection : public QWidget {
    Q_OBJECT

public:
    /// Adds the card for `model` to `page`.
    static ServerEngineSection* add(SettingsPage* page, ServerEngineModel* model);

    QComboBox* engine() const { return engine_; }
    QLineEdit* url() const { return url_; }
    QComboBox* api() const { return api_; }
    QLineEdit* modelName() const { return modelName_; }
    QCheckBox* privateConfirmed() const { return private_; }
    /// Write-only: empty, its placeholder says whether a key is stored; Save stores what is typed.
    QLineEdit* apiKey() const { return apiKey_; }
    QPushButton* removeApiKey() const { return removeApiKey_; }
    QPushButton* save() const { return save_; }
    QPushButton* test() const { return test_; }
    QLabel* error() const { return error_; }
    QLabel* result() const { return result_; }

private:
    ServerEngineSection(ServerEngineModel* model, QWidget* parent);
    void load();
    void render();

    ServerEngineModel* model_;
    QComboBox* engine_;
    QLineEdit* url_;
    QComboBox* api_;
    QLineEdit* modelName_;
    QCheckBox* private_;
    QLineEdit* apiKey_;
    QPushButton* removeApiKey_;
    QPushButton* save_;
    QPushButton* test_;
    QLabel* error_;
    QLabel* result_;
};

} // namespace quillory
