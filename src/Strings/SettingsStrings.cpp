#include "Runtime/LocalizedStrings.h"

namespace quillory::Localization {

namespace {
constexpr LocalizedString kStrings[] = {
    // Window and shared controls
    {"settings.window.title", "Quillory Settings", "Quillory 設定"},
    {"settings.tab.permissions", "Permissions", "権限"},
    {"settings.tab.hotkey", "Hotkeys", "ホットキー"},
    {"settings.tab.dictionary", "Dictionary", "辞書"},
    {"settings.tab.polish", "Polish", "AI 整形"},
    {"settings.tab.localllm", "Chat", "チャット"},
    {"ui.help.show", "Show help", "ヘルプを表示"},

    // Hotkey tab
    {"hotkey.banner.registration_failed",
     "The global hotkeys could not be registered. Another program may hold the keys, or the keyboard "
     "cannot be monitored.",
     "グローバルホットキーを登録できませんでした。別のプログラムがキーを使用しているか、"
     "キーボードを監視できない可能性があります。"},
    {"hotkey.open_input_monitoring", "Keyboard Access…", "キーボードの監視設定…"},
    {"hotkey.retry_registration", "Try Again", "再試行"},
    {"hotkey.shortcuts.section", "Shortcuts", "ショートカット"},
    {"hotkey.help.shortcuts",
     "Toggle: press the dictation key twice quickly to start dictating, and twice again to stop. "
     "Push-to-talk: hold the chord key and the dictation key (or the alternate key) while you speak; "
     "releasing them ends the dictation.",
     "トグル: 音声入力キーを素早く 2 回押すと音声入力を開始し、もう一度 2 回押すと終了します。"
     "プッシュトゥトーク: 組み合わせキーと音声入力キー (または代替キー) を押している間だけ音声入力します。"
     "離すと終了します。"},
    {"hotkey.help.assignment",
     "Which keys of your keyboard these are is chosen under \"Physical Keys\" (by default Right Ctrl "
     "is the dictation key, Right Shift the chord key and the Alt keys the alternate keys).",
     "どのキーを使うかは「物理キー」で選べます (既定では右 Ctrl が音声入力キー、右 Shift が組み合わせキー、"
     "Alt キーが代替キーです)。"},
    {"hotkey.toggle.enable", "Toggle dictation", "トグルで音声入力"},
    {"hotkey.gnome.section", "GNOME shortcut", "GNOME のショートカット"},
    {"hotkey.gnome.help",
     "Under Wayland GNOME lets no program hear keys. Quillory can add a shortcut that starts and stops "
     "dictation to GNOME's own keyboard shortcuts (Settings → Keyboard → Custom Shortcuts), where you can "
     "also change its keys. Your other shortcuts stay as they are.",
     "Wayland の GNOME では、アプリがキー入力を受け取れません。音声入力を開始・停止するショートカットを GNOME "
     "のキーボード設定（設定 → キーボード → カスタムショートカット）に追加できます。キーはそこで変更できます。"
     "ほかのショートカットは変更しません。"},
    {"hotkey.gnome.binding_name", "Quillory: start or stop dictation", "Quillory: 音声入力の開始・停止"},
    {"hotkey.gnome.bound", "%1 starts and stops dictation", "%1 で音声入力を開始・停止します"},
    {"hotkey.gnome.unbound", "No shortcut is bound yet", "ショートカットはまだ登録されていません"},
    {"hotkey.gnome.bind", "Bind %1 in GNOME", "GNOME に %1 を登録"},
    {"hotkey.gnome.remove", "Remove", "削除"},
    {"hotkey.gnome.failed", "The shortcut could not be changed: %1", "ショートカットを変更できませんでした: %1"},
    {"hotkey.default.toggle.hint", "press %1 twice", "%1 を 2 回押す"},
    {"hotkey.ptt.enable", "Push-to-talk", "押している間だけ音声入力"},
    {"hotkey.default.ptt.hint", "hold %1", "%1 を押し続ける"},
    {"hotkey.summary.current", "Current: %1", "現在: %1"},
    {"hotkey.gesture.double", "%1 ×2", "%1 ×2"},
    {"hotkey.gesture.chord", "%1 + %2", "%1 + %2"},
    {"hotkey.summary.off", "Off", "オフ"},
    {"hotkey.summary.other", "Other", "その他"},
    {"hotkey.ptt.style.label", "Chord", "組み合わせ"},
    {"hotkey.test.section", "Voice Test", "音声入力テスト"},
    {"hotkey.help.voice_test",
     "Dictate into this field to try the microphone, recognition and polishing without touching "
     "another application.",
     "この欄に音声入力して、ほかのアプリに触れずにマイク・認識・整形を試せます。"},
    {"hotkey.voice_test.caption.toggle", "Toggle", "トグル"},
    {"hotkey.voice_test.caption.ptt", "Push-to-talk (hold)", "押している間だけ"},
    {"hotkey.voice_test.start", "Start", "開始"},
    {"hotkey.voice_test.stop", "Stop", "停止"},
    {"hotkey.voice_test.field", "Voice test field", "音声入力テスト欄"},
    {"hotkey.live_keys.section", "Live Keys", "押されているキー"},
    {"hotkey.help.live_keys",
     "Shows the keys this window receives while you press them, to check which key is which.",
     "このウィンドウが受け取ったキーを押している間表示します。どのキーがどれかを確かめられます。"},
    {"hotkey.live_keys.empty", "Press a key", "キーを押してください"},
    {"hotkey.keycap.control", "Ctrl", "Ctrl"},
    {"hotkey.keycap.shift", "Shift", "Shift"},
    {"hotkey.keycap.capslock", "Caps Lock", "Caps Lock"},
    {"hotkey.keycap.role", "%1: %2", "%1: %2"},
    {"hotkey.role.dictation", "Dictation key", "音声入力キー"},
    {"hotkey.role.alternate", "Alternate key", "代替キー"},
    {"hotkey.role.chord", "Chord key", "組み合わせキー"},
    {"hotkey.physical.section", "Physical Keys", "物理キー"},
    {"hotkey.help.physical",
     "Choose which keys of your keyboard serve the hotkeys: the dictation key (pressed twice toggles "
     "dictation), the chord key (held with the dictation key or the alternate key for push-to-talk) "
     "and the alternate key. A key can serve only one role.",
     "ホットキーに使うキーを選びます: 音声入力キー (2 回押すとトグル)、組み合わせキー (音声入力キーまたは"
     "代替キーと一緒に押している間だけ音声入力)、代替キー。1 つのキーは 1 つの役割にだけ使えます。"},
    {"hotkey.physical.leftCommand", "Dictation key 1", "音声入力キー 1"},
    {"hotkey.physical.rightCommand", "Dictation key 2", "音声入力キー 2"},
    {"hotkey.physical.leftOption", "Alternate key 1", "代替キー 1"},
    {"hotkey.physical.rightOption", "Alternate key 2", "代替キー 2"},
    {"hotkey.physical.fn", "Chord key", "組み合わせキー"},
    {"hotkey.physical.open_help", "How to allow keyboard monitoring", "キーボード監視を許可する方法"},
    {"hotkey.physical.none", "None", "なし"},
    {"hotkey.physical.reset", "Use Defaults", "既定に戻す"},

    // Dictionary tab
    {"dictionary.title", "Register a Word", "単語を登録"},
    {"dictionary.help.summary", "Replaces words in dictated text with the text you choose.",
     "音声入力した文章の中の語句を、指定した文字列に置き換えます。"},
    {"dictionary.help.detail",
     "The sources are also given to the recogniser as hints. Longer sources are replaced first; an "
     "empty replacement only adds the hint.",
     "登録した語句は認識のヒントにもなります。長い語句から先に置き換えます。"
     "置換後を空にするとヒントとしてだけ使います。"},
    {"dictionary.source.placeholder", "Heard as", "認識される語句"},
    {"dictionary.target.placeholder", "Replace with", "置き換え後"},
    {"dictionary.count.format", "%1 of %2 entries", "%1 / %2 件"},
    {"dictionary.register.section", "Register", "登録"},
    {"dictionary.list.title", "Entries", "登録済み"},
    {"dictionary.source.column", "Heard as", "認識される語句"},
    {"dictionary.target.column", "Replace with", "置き換え後"},
    {"dictionary.list.empty", "No entries yet.", "まだ登録はありません。"},
    {"dictionary.remove", "Remove", "削除"},
    {"dictionary.error.save", "The dictionary could not be saved: %1", "辞書を保存できませんでした: %1"},

    // Permissions tab
    {"permissions.section.required.title", "Required", "必須"},
    {"permissions.reload", "Reload", "再読み込み"},
    {"permissions.reload.help", "Check the permissions again", "権限をもう一度確認します"},
    {"permissions.section.required.footer",
     "Dictation needs the microphone, recognition, input into other applications and the keyboard "
     "monitor for the hotkeys.",
     "音声入力にはマイク、音声認識、ほかのアプリへの入力、ホットキー用のキーボード監視が必要です。"},
    {"permission.required", "Required", "未設定"},
    {"permission.denied", "Denied", "拒否"},
    {"permission.authorized", "Allowed", "許可済み"},
    {"onboarding.request", "Request", "許可を求める"},
    {"onboarding.open_settings", "Open Settings", "設定を開く"},
    {"onboarding.mic.title", "Microphone", "マイク"},
    {"onboarding.speech.title", "Speech recognition (on this computer)", "音声認識 (このコンピュータ上)"},
    {"onboarding.ax.title", "Typing into other applications", "ほかのアプリへの入力"},
    {"permission.input_monitoring.title", "Keyboard monitoring for hotkeys", "ホットキー用のキーボード監視"},
    {"permission.dictation.title", "System dictation", "システムの音声入力"},
    {"permission.dictation.enabled", "On", "オン"},
    {"permission.dictation.disabled", "Off", "オフ"},
    {"permission.dictation.unknown", "Not applicable on Linux", "Linux では該当なし"},
    {"permission.dictation.hint.enabled", "System dictation is on.", "システムの音声入力はオンです。"},
    {"permission.dictation.hint.disabled", "System dictation is off.", "システムの音声入力はオフです。"},
    {"permission.dictation.hint.unknown",
     "Linux has no system dictation switch; Quillory recognises speech itself. Nothing to do.",
     "Linux にはシステムの音声入力の設定がなく、Quillory が自分で認識します。操作は不要です。"},
    {"permission.dictation.open_settings", "Language Settings…", "言語の設定…"},
    {"permission.sound_input.title", "Sound input", "サウンド入力"},
    {"permission.speech_model.title", "Speech model (recognition runs on this computer)",
     "音声認識モデル (認識はこのコンピュータ上で行います)"},
    {"permission.speech_model.installed", "Installed: %1", "インストール済み: %1"},
    {"permission.speech_model.missing", "Not installed — dictation needs one", "未インストール — 音声入力に必要です"},
    {"permission.speech_model.downloading", "Downloading… %1", "ダウンロード中… %1"},
    {"permission.speech_model.recommended", "Recommended for this computer (%1 cores): %2, %3.",
     "このコンピュータ (%1 コア) へのおすすめ: %2、%3。"},
    {"permission.speech_model.cancel", "Cancel", "キャンセル"},
    {"permission.speech_model.cancelled", "The download was cancelled.", "ダウンロードをキャンセルしました。"},
    {"permission.speech.needs_model", "Needs a speech model (below)", "音声認識モデルが必要です (下)"},
    {"permission.sound_input.ok", "A microphone is connected", "マイクが接続されています"},
    {"permission.sound_input.missing", "No microphone found", "マイクが見つかりません"},
    {"permission.sound_input.hint", "Choose the input device in the sound settings.",
     "入力デバイスはサウンドの設定で選びます。"},
    {"permissions.section.data_sending.title", "Data Sending", "データ送信"},
    {"permission.dictation.privacy.title", "Everything stays on this computer", "すべてこのコンピュータ内で処理"},
    {"permission.dictation.privacy.body",
     "Speech recognition and polishing run locally; no audio or text is sent anywhere.",
     "音声認識も整形もこのコンピュータ内で行い、音声や文章をどこにも送信しません。"},
    {"permission.dictation.privacy.server_title", "Audio goes to your recognition server",
     "音声を認識サーバーに送信"},
    {"permission.dictation.privacy.server_body",
     "Each dictation's audio and your dictionary's hints are sent to %1 for recognition; polishing "
     "runs on this computer. When the server fails, this computer recognises the same audio.",
     "音声入力の音声と辞書のヒントを認識のため %1 に送信します。整形はこのコンピュータ内で行います。"
     "サーバーが失敗したときは同じ音声をこのコンピュータで認識します。"},
    {"permission.siri_improvement.row_title", "Sharing dictation audio", "音声入力の音声の共有"},
    {"permission.siri_improvement.opted_in", "Shared", "共有する"},
    {"permission.siri_improvement.opted_out", "Not shared", "共有しない"},
    {"permission.siri_improvement.undetermined", "Not chosen", "未選択"},
    {"permission.siri_improvement.unknown", "Not applicable on Linux", "Linux では該当なし"},
    {"permission.siri_improvement.hint.opted_in", "Dictation audio is shared with the system maker.",
     "音声入力の音声をシステムの提供元と共有しています。"},
    {"permission.siri_improvement.hint.opted_out", "Dictation audio is not shared.",
     "音声入力の音声は共有していません。"},
    {"permission.siri_improvement.hint.undetermined", "No choice has been made.", "まだ選択されていません。"},
    {"permission.siri_improvement.hint.unknown",
     "Linux has no such sharing setting, and Quillory sends nothing. Nothing to do.",
     "Linux にはこの共有設定がなく、Quillory は何も送信しません。操作は不要です。"},
    {"permission.siri_improvement.open_settings", "Privacy Settings…", "プライバシーの設定…"},
    {"permissions.section.optional.title", "Environment", "動作環境"},
    {"permission.env.macos_title", "Operating system", "オペレーティングシステム"},
    {"permission.env.macos_ok", "%1", "%1"},
    {"permission.env.macos_warn", "%1 (may be too old)", "%1 (古すぎる可能性があります)"},
    {"permission.local_ai.title", "Local AI polishing", "ローカル AI 整形"},
    {"permission.local_ai.ok", "This computer can run the local model", "このコンピュータでローカルモデルを実行できます"},
    {"permission.local_ai.warn", "The local model does not run on this processor",
     "このプロセッサではローカルモデルを実行できません"},
    {"permission.local_ai.warn.detail", "Polishing stays off; dictation works without it.",
     "整形はオフのままです。音声入力は整形なしで使えます。"},
    {"permission.env.chip_title", "This computer", "このコンピュータ"},
    {"permission.env.memory_format", "Memory: %1", "メモリ: %1"},
    {"permission.env.model_id_format", "Model: %1", "機種: %1"},
    {"permissions.login_item.title", "Start at Login", "ログイン時に起動"},
    {"permissions.login_item.toggle", "Start Quillory when you log in", "ログイン時に Quillory を起動する"},
    {"permissions.login_item.open_login_items", "Open Autostart Folder", "自動起動フォルダを開く"},
    {"diagnostics.section.title", "Diagnostics", "診断"},
    {"diagnostics.section.help",
     "Exports the recent lines of the dictation log as a text file, to attach to a problem report. "
     "It holds timings and lengths, not the dictated text.",
     "音声入力ログの最近の行をテキストファイルに書き出します。不具合の報告に添付してください。"
     "記録されるのは時間と長さで、入力した文章は含まれません。"},
    {"diagnostics.lookback.title", "Period", "期間"},
    {"diagnostics.lookback.last_15_min", "15 min", "15 分"},
    {"diagnostics.lookback.last_60_min", "60 min", "60 分"},
    {"diagnostics.lookback.last_180_min", "180 min", "180 分"},
    {"diagnostics.export.button", "Export…", "書き出す…"},
    {"diagnostics.save.filter.log", "Log files (*.log)", "ログファイル (*.log)"},
    {"diagnostics.save.filter.text", "Text files (*.txt)", "テキストファイル (*.txt)"},
};
} // namespace

std::span<const LocalizedString> settingsStrings() {
    return kStrings;
}

} // namespace quillory::Localization
