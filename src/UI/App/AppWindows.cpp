#include "UI/App/AppWindows.h"
#include "UI/App/WindowPresentation.h"

#include <QLabel>
#include <QVBoxLayout>

namespace quillory::ui {

void toggleSettings(AppWindows& windows) {
    if (!windows.closeSettingsIfVisible()) {
        windows.showSettings();
    }
}

void showSettingsWhenReady(AppWindows& windows, int maxAttempts, Duration interval) {
    if (windows.settingsReady() || maxAttempts < 1) {
        windows.showSettings();
        return;
    }
    Scheduler::current().postDelayed(interval, [&windows, maxAttempts, interval] {
        showSettingsWhenReady(windows, maxAttempts - 1, interval);
    });
}

PlaceholderAppWindows::PlaceholderAppWindows() = default;
PlaceholderAppWindows::~PlaceholderAppWindows() = default;

void PlaceholderAppWindows::showSettings() {
    if (!window_) {
        window_ = std::make_unique<QWidget>();
        window_->setObjectName(QStringLiteral("quillorySettingsWindow"));
        window_->setWindowTitle(QStringLiteral("Quillory"));
        window_->setFixedSize(420, 560);
        auto* layout = new QVBoxLayout(window_.get());
        layout->addWidget(new QLabel(QStringLiteral("Quillory"), window_.get()), 0, Qt::AlignCenter);
    }
    presentWindow(*window_);
}

bool PlaceholderAppWindows::closeSettingsIfVisible() {
    return closeWindowIfVisible(window_.get());
}

} // namespace quillory::ui
