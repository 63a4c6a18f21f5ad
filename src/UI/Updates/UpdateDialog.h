#pragma once

#include "UI/Updates/UpdateChecker.h"

#include <QMessageBox>

namespace quillory::ui {

/// The answer to a manual check: a newer release with a button that opens its download page,
/// "up to date", or why the check failed. Not modal; deletes itself when closed.
QMessageBox* showUpdateResult(const UpdateChecker::Result& result, const QString& currentVersion,
                              QWidget* parent = nullptr);

} // namespace quillory::ui
