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
    // The names printed on the keys that can stand for the hotkeys' keys.
    {"hotkey.key.LCTL", "Left Ctrl", "左 Ctrl"},
    {"hotkey.key.RCTL", "Right Ctrl", "右 Ctrl"},
    {"hotkey.key.LFSH", "Left Shift", "左 Shift"},
    {"hotkey.key.RTSH", "Right Shift", "右 Shift"},
    {"hotkey.key.LALT", "Left Alt", "左 Alt"},
    {"hotkey.key.RALT", "Right Alt", "右 Alt"},
    {"hotkey.key.LWIN", "Left Super", "左 Super"},
    {"hotkey.key.RWIN", "Right Super", "右 Super"},
    {"hotkey.key.MENU", "Menu", "メニュー"},
    {"hotkey.key.CAPS", "Caps Lock", "Caps Lock"},
    {"hotkey.key.MUHE", "Muhenkan", "無変換"},
    {"hotkey.key.HENK", "Henkan", "変換"},
    {"hotkey.key.HKTG", "Katakana/Hiragana", "カタカナ/ひらがな"},
    {"hotkey.key.SCLK", "Scroll Lock", "Scroll Lock"},
    {"hotkey.key.PAUS", "Pause", "Pause"},
    {"hotkey.key.INS", "Insert", "Insert"},
    {"hotkey.key.keycode", "keycode %1", "キーコード %1"},
    {"hotkey.key.none", "(no key)", "(キーなし)"},
};
} // namespace

std::span<const LocalizedString> hotkeyStrings() {
    return kStrings;
}

} // namespace quillory::Localization
