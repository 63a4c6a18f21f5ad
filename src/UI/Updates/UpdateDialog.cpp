#include "UI/Updates/UpdateDialog.h"

#include "Runtime/Localization.h"

#include <QDesktopServices>
#include <QPushButton>

namespace quillory::ui {

QMessageBox* showUpdateResult(const UpdateChecker::Result& result, const QString& currentVersion,
                              QWidget* parent) {
    auto* box = new QMessageBox(parent);
    box->setObjectName(QStringLiteral("quilloryUpdateDialog"));
    box->setAttribute(Qt::WA_DeleteOnClose);
    box->setWindowTitle(Localization::text("update.title"));
    using Outcome = UpdateChecker::Result::Outcome;
    switch (result.outcome) {
    case Outcome::updateAvailable: {
        box->setIcon(QMessageBox::Information);
        box->setText(Localization::format("update.available", result.release.displayVersion));
        QPushButton* download = box->addButton(Localization::text("update.download"), QMessageBox::AcceptRole);
        box->addButton(Localization::text("update.later"), QMessageBox::RejectRole);
        const QUrl url = result.release.downloadUrl;
        QObject::connect(download, &QPushButton::clicked, box, [url] { QDesktopServices::openUrl(url); });
        break;
    }
    case Outcome::upToDate:
        box->setIcon(QMessageBox::Information);
        box->setText(Localization::format("update.current", currentVersion));
        box->addButton(QMessageBox::Ok);
        break;
    case Outcome::failed:
        box->setIcon(QMessageBox::Warning);
        box->setText(Localization::format("update.failed", result.error));
        box->addButton(QMessageBox::Ok);
        break;
    }
    box->show();
    return box;
}

} // namespace quillory::ui
