#include "Runtime/LocalizedStrings.h"

namespace quillory::Localization {

namespace {
constexpr LocalizedString kStrings[] = {
    {"hotkey.cli.no_display",
     "No X11 display: global hotkeys are heard through X11 (DISPLAY is not set). Run this inside your "
     "desktop session.",
     "X11 ディスプレイがありません。グローバルホットキーは X11 で受け取ります (DISPLAY が未設定です)。"
     "デスクトップのセッション内で実行してください。"},
    {"hotkey.cli.connect_failed", "Cannot listen to the keyboard: %1", "キーボードを監視できません: %1"},
    {"hotkey.cli.register_failed",
     "The hotkeys could not be registered (another program may hold the key); see the log line above.",
     "ホットキーを登録できませんでした (別のプログラムがキーを使用している可能性があります)。"
     "上のログを確認してください。"},
    {"hotkey.cli.listening", "Listening for hotkeys (%1). Press Ctrl+C to stop.",
     "ホットキーを監視しています (%1)。終了するには Ctrl+C を押してください。"},
    {"hotkey.cli.nothing_needed", "The stored configuration uses no global hotkey.",
     "保存された設定ではグローバルホットキーを使用しません。"},
};
} // namespace

std::span<const LocalizedString> hotkeyStrings() {
    return kStrings;
}

} // namespace quillory::Localization
