#include "Runtime/LocalizedStrings.h"

namespace quillory::Localization {

namespace {
// The tray app: start-up, tray item, remote control, updates.
constexpr LocalizedString kStrings[] = {
    {"menu.status.idle", "Quillory: ready", "Quillory: 待機中"},
    {"menu.status.recording", "Quillory: listening", "Quillory: 聞き取り中"},
    {"menu.status.processing", "Quillory: processing", "Quillory: 処理中"},
    {"menu.status.error", "Quillory: error", "Quillory: エラー"},
    {"menu.settings", "Settings…", "設定…"},
    {"menu.check_for_updates", "Check for Updates…", "アップデートを確認…"},
    {"menu.quit", "Quit Quillory", "Quillory を終了"},
    {"app.no_display",
     "Quillory needs a graphical desktop (%1). Run 'quillory --help' for the commands that work without one.",
     "Quillory にはデスクトップ画面が必要です (%1)。画面なしで使えるコマンドは 'quillory --help' "
     "で確認できます。"},
    {"app.no_tray", "No system tray was found; use 'quillory settings' to open the settings window.",
     "システムトレイが見つかりません。設定画面は 'quillory settings' で開けます。"},
    {"cli.error.no_app", "Quillory is not running. Start it with 'quillory' first.",
     "Quillory が起動していません。先に 'quillory' で起動してください。"},
    {"cli.error.remote", "The running Quillory refused the request: %1",
     "起動中の Quillory が要求を受け付けませんでした: %1"},
    {"update.title", "Software Update", "ソフトウェアアップデート"},
    {"update.available", "Quillory %1 is available.", "Quillory %1 が利用できます。"},
    {"update.current", "You have the latest version of Quillory (%1).",
     "Quillory は最新バージョンです (%1)。"},
    {"update.failed", "Could not check for updates: %1", "アップデートを確認できませんでした: %1"},
    {"update.download", "Download…", "ダウンロード…"},
    {"update.later", "Later", "あとで"},
};
} // namespace

std::span<const LocalizedString> appShellStrings() {
    return kStrings;
}

} // namespace quillory::Localization
