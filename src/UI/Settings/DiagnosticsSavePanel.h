#pragma once

#include "Runtime/Async.h"

#include <QString>
#include <QStringList>

#include <functional>
#include <optional>

class QWidget;

namespace quillory {

/// The diagnostics export as the settings window runs it: a save dialog with the suggested name
/// and the log/text filters, the export, and the written file shown in the file manager.
namespace DiagnosticsSavePanel {

/// What the flow does at its platform edges; tests replace them.
struct Hooks {
    /// Asks for the destination: (suggested path, filters, title, button label) → the chosen path,
    /// empty when cancelled. Default: a modal QFileDialog over the settings window.
    std::function<QString(const QString& suggestedPath, const QStringList& filters, const QString& title,
                          const QString& acceptLabel)>
        chooseFile;
    /// Shows the file in the file manager. Default: `revealInFileManager`.
    std::function<void(const QString& path)> reveal;
};
Hooks setHooks(Hooks hooks);

/// "Log files (*.log)", "Text files (*.txt)" in the current language.
QStringList filters();
/// The folder the dialog starts in: the documents folder, else the home folder.
QString defaultFolder();

/// Brings the settings window forward, asks for the destination, exports the last
/// `lookbackMinutes` of the log there and reveals it; the path, or nullopt when cancelled.
/// Throws `CommitDiagnosticsExporter::ExportError`.
Task<std::optional<QString>> presentSavePanelAndExport(int lookbackMinutes);

/// Asks the file manager to show and select `path` (D-Bus org.freedesktop.FileManager1.ShowItems);
/// when no file manager answers, opens the folder instead. False when neither worked.
bool revealInFileManager(const QString& path);

} // namespace DiagnosticsSavePanel
} // namespace quillory
