#include "Runtime/LocalizedStrings.h"

namespace quillory::Localization {

namespace {
// Permissions, environment and the login item.
constexpr LocalizedString kStrings[] = {
    {"settings.help.microphone",
     "Linux asks no permission for the microphone. If Quillory hears nothing, choose the microphone in your "
     "sound settings (or check 'pactl list short sources').",
     "Linux ではマイクの許可は不要です。音声が届かないときは、サウンド設定で入力デバイスを選んでください"
     "（'pactl list short sources' でも確認できます）。"},
    {"settings.help.speech_recognition", "Speech is recognised on this computer; no permission is needed.",
     "音声認識はこのコンピューター上で行われるため、許可は不要です。"},
    {"settings.help.input_monitoring",
     "Quillory listens for its shortcut keys. On X11 this needs the XInput2 extension. On Wayland it reads "
     "the "
     "keyboards under /dev/input: run 'sudo usermod -aG input $USER' and log in again.",
     "Quillory はショートカットキーを監視します。X11 では XInput2 拡張が必要です。Wayland では /dev/input "
     "のキーボードを読むため、'sudo usermod -aG input $USER' を実行してから再ログインしてください。"},
    {"settings.help.sound_input", "Choose the microphone in your desktop's sound settings.",
     "デスクトップのサウンド設定で入力に使うマイクを選んでください。"},
    {"settings.help.dictation_languages",
     "Linux has no system dictation; Quillory recognises Japanese itself.",
     "Linux にはシステムの音声入力はありません。日本語の認識は Quillory 自身が行います。"},
    {"settings.help.analytics", "Not applicable on Linux: nothing is shared.",
     "Linux では該当しません。何も共有されません。"},
    {"settings.help.accessibility",
     "Quillory types by synthesising key presses. On X11 the XTEST extension must be present (it normally "
     "is). "
     "On Wayland /dev/uinput must be writable: run 'sudo usermod -aG input $USER' and log in again.",
     "Quillory はキー入力を合成して文字を入力します。X11 では XTEST 拡張が必要です（通常は有効です）。"
     "Wayland では /dev/uinput に書き込める必要があります。'sudo usermod -aG input $USER' "
     "を実行してから再ログインしてください。"},
    {"loginItem.error.write", "The autostart entry could not be written: %1",
     "自動起動の設定を書き込めませんでした: %1"},
    {"loginItem.error.remove", "The autostart entry could not be removed: %1",
     "自動起動の設定を削除できませんでした: %1"},
};
} // namespace

std::span<const LocalizedString> systemStrings() {
    return std::span(kStrings);
}

} // namespace quillory::Localization
