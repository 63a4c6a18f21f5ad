#include "UI/Settings/DiagnosticsSavePanel.h"

#include "Permissions/SystemSettingsLink.h"
#include "Platform/qt/AppActivation.h"
#include "Runtime/Localization.h"
#include "Runtime/Scheduler.h"
#include "Utilities/CommitDiagnosticsExporter.h"

#include <QApplication>
#include <QDBusConnection>
#include <QDBusMessage>
#include <QDir>
#include <QFileDialog>
#include <QFileInfo>
#include <QStandardPaths>
#include <QUrl>

namespace quillory::DiagnosticsSavePanel {

namespace {
Hooks& hooks() {
    static Hooks h;
    return h;
}

QWidget* settingsWindow() {
    for (QWidget* w : QApplication::topLevelWidgets()) {
        if (w->objectName() == QLatin1String("quillory.settingsWindow") && w->isVisible()) {
            return w;
        }
    }
    return QApplication::activeWindow();
}

QString chooseWithDialog(const QString& suggested, const QStringList& filters, const QString& title,
                         const QString& accept) {
    QFileDialog dialog(settingsWindow(), title, suggested);
    dialog.setAcceptMode(QFileDialog::AcceptSave);
    dialog.setFileMode(QFileDialog::AnyFile);
    dialog.setNameFilters(filters);
    dialog.setLabelText(QFileDialog::Accept, accept);
    dialog.selectFile(QFileInfo(suggested).fileName());
    dialog.setWindowModality(Qt::WindowModal);
    if (dialog.exec() != QDialog::Accepted || dialog.selectedFiles().isEmpty()) {
        return {};
    }
    return dialog.selectedFiles().constFirst();
}
} // namespace

Hooks setHooks(Hooks h) {
    std::swap(hooks(), h);
    return h;
}

QStringList filters() {
    return {L("diagnostics.save.filter.log"), L("diagnostics.save.filter.text")};
}

QString defaultFolder() {
    const QString documents = QStandardPaths::writableLocation(QStandardPaths::DocumentsLocation);
    return !documents.isEmpty() && QFileInfo(documents).isDir() ? documents : QDir::homePath();
}

Task<std::optional<QString>> presentSavePanelAndExport(int lookbackMinutes) {
    const QString suggested = QDir(defaultFolder())
                                  .filePath(CommitDiagnosticsExporter::defaultExportFilename(
                                      Scheduler::current().wallNow()));
    AppActivation::scheduleSettingsWindowReveal();
    const auto choose = hooks().chooseFile ? hooks().chooseFile : chooseWithDialog;
    const QString path = choose(suggested, filters(), L("diagnostics.save.title"), L("diagnostics.save.prompt"));
    if (path.isEmpty()) {
        co_return std::nullopt; // cancelled: nothing written, not an error
    }
    co_await CommitDiagnosticsExporter::exportAsync(path, lookbackMinutes);
    if (hooks().reveal) {
        hooks().reveal(path);
    } else {
        revealInFileManager(path);
    }
    co_return path;
}

bool revealInFileManager(const QString& path) {
    const QString absolute = QFileInfo(path).absoluteFilePath();
    QDBusMessage call = QDBusMessage::createMethodCall(
        QStringLiteral("org.freedesktop.FileManager1"), QStringLiteral("/org/freedesktop/FileManager1"),
        QStringLiteral("org.freedesktop.FileManager1"), QStringLiteral("ShowItems"));
    call << QStringList{QUrl::fromLocalFile(absolute).toString()} << QString();
    QDBusConnection bus = QDBusConnection::sessionBus();
    if (bus.isConnected()) {
        const QDBusMessage reply = bus.call(call, QDBus::Block, 3000);
        if (reply.type() == QDBusMessage::ReplyMessage) {
            return true;
        }
    }
    return SystemSettingsLink::openUrl(QUrl::fromLocalFile(QFileInfo(absolute).absolutePath()));
}

} // namespace quillory::DiagnosticsSavePanel
