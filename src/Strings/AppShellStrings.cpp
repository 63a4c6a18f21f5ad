#include "Runtime/LocalizedStrings.h"

namespace quillory::Localization {

namespace {
// The tray app: start-up, tray item, remote control, updates.
constexpr LocalizedString kStrings[] = {
    {"menu.status.idle", "Quillory: ready", "Quillory: 待機中"},
    {"menu.status.recording", "Quillory: listening", "Quillory: 聞き取り中"},
    {"menu.status.processing", "Quillory: processing", "Quillory: 処理中"},
    {"menu.status.error", "Quillory: error", "Quillory: エラー"},
    {"menu.status.setup", "Quillory: setup unfinished", "Quillory: 設定が完了していません"},
    {"menu.start_dictation", "Start Dictation", "音声入力を開始"},
    {"menu.stop_dictation", "Stop Dictation", "音声入力を終了"},
    {"menu.finish_setup", "Finish Setup…", "設定を完了…"},
    {"menu.settings", "Settings…", "設定…"},
    {"menu.check_for_updates", "Check for Updates…", "アップデートを確認…"},
    {"menu.quit", "Quit Quillory", "Quillory を終了"},
    {"app.no_display",
     "Quillory needs a graphical desktop (%1). Run 'quillory --help' for the commands that work without one.",
     "Quillory にはデスクトップ画面が必要です (%1)。画面なしで使えるコマンドは 'quillory --help' "
     "で確認できます。"},
    {"app.no_tray", "No system tray was found; use 'quillory settings' to open the settings window.",
     "システムトレイが見つかりません。設定画面は 'quillory settings' で開けます。"},
    {"app.no_tray.title", "Quillory is running", "Quillory は起動しています"},
    {"app.no_tray.notice",
     "Quillory is running, but this desktop shows no system tray, so it has no icon.\n\n"
     "Dictate with the hotkey as usual. Open the settings with 'quillory settings' (or start "
     "'quillory' again), and quit with 'quillory quit' or the Quit button in the settings window.",
     "Quillory は起動していますが、このデスクトップにはシステムトレイがないため、アイコンは表示されません。\n\n"
     "音声入力はいつもどおりホットキーで使えます。設定画面は 'quillory settings' (または 'quillory' "
     "をもう一度起動) で開き、終了は 'quillory quit' か設定画面の終了ボタンで行えます。"},
    {"setup.speech_model_missing", "No speech model is installed yet. Download one in Settings → Permissions → Speech model.",
     "音声認識モデルがまだありません。設定 → 権限 → 音声認識モデル でダウンロードしてください。"},
    {"cli.error.no_app", "Quillory is not running. Start it with 'quillory' first.",
     "Quillory が起動していません。先に 'quillory' で起動してください。"},
    {"cli.error.remote", "The running Quillory refused the request: %1",
     "起動中の Quillory が要求を受け付けませんでした: %1"},
    {"update.title", "Software Update", "ソフトウェアアップデート"},
    {"update.available", "Quillory %1 is available.", "Quillory %1 が利用できます。"},
    {"update.current", "You have the latest version of Quillory (%1).",
     "Quillory は最新バージョンです (%1)。"},
    {"update.failed", "Could not check for updates: %1", "アップデートを確認できませんでした: %1"},
    {"update.error.refused", "the update server refused the connection.",
     "アップデートサーバーが接続を拒否しました。"},
    {"update.error.host_not_found", "the update server's address could not be found. Check the network connection.",
     "アップデートサーバーのアドレスが見つかりません。ネットワーク接続を確認してください。"},
    {"update.error.timeout", "the update server did not answer in time.",
     "アップデートサーバーが時間内に応答しませんでした。"},
    {"update.error.tls", "the update server's secure connection could not be verified.",
     "アップデートサーバーの安全な接続を確認できませんでした。"},
    {"update.error.network", "the update server could not be reached.",
     "アップデートサーバーに接続できませんでした。"},
    {"update.error.http", "the update server answered with error %1.",
     "アップデートサーバーがエラー %1 を返しました。"},
    {"update.error.feed", "the update information could not be read.",
     "アップデート情報を読み取れませんでした。"},
    {"menu.checking_for_updates", "Checking for Updates…", "アップデートを確認中…"},
    {"update.download", "Download…", "ダウンロード…"},
    {"update.later", "Later", "あとで"},
};
} // namespace

std::span<const LocalizedString> appShellStrings() {
    return kStrings;
}

} // namespace quillory::Localization
