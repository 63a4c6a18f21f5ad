#include "Runtime/LocalizedStrings.h"

namespace quillory::Localization {

namespace {
constexpr LocalizedString kStrings[] = {
    {"error.permissions", "Quillory needs microphone, speech recognition and input permissions to dictate.",
     "音声入力にはマイク・音声認識・入力操作の許可が必要です。"},
    {"error.dictation_disabled", "System dictation is turned off. Turn it on to dictate.",
     "システムの音声入力がオフになっています。オンにしてから話してください。"},
    {"error.commit_timeout", "Dictation took too long and was stopped.",
     "音声入力の処理に時間がかかりすぎたため中止しました。"},
    {"loginItem.unavailable", "Starting at login cannot be set on this system.",
     "このシステムではログイン時の起動を設定できません。"},
    {"error.cancelled", "Dictation was cancelled.", "音声入力を中止しました。"},
    {"error.unexpected", "Something went wrong during dictation.",
     "音声入力中に予期しないエラーが発生しました。"},
    {"speech.error.on_device", "On-device speech recognition is not available for %1.",
     "%1 のオンデバイス音声認識は利用できません。"},
    {"speech.error.auth", "Speech recognition is not allowed.", "音声認識が許可されていません。"},
    {"speech.error.recognizer",
     "No speech model is ready. Download one in Settings → Permissions → Speech model.",
     "音声認識モデルがありません。設定 → 権限 → 音声認識モデル でダウンロードしてください。"},
    {"speech.error.no_device", "No audio capture device is available.",
     "音声入力に使える録音デバイスがありません。"},
    {"speech.error.request", "The speech recognition request could not be created.",
     "音声認識のリクエストを作成できませんでした。"},
    {"speech.error.task", "Speech recognition could not be started.", "音声認識を開始できませんでした。"},
    {"input.error.ax", "Quillory may not type into other applications. Check the input permission.",
     "他のアプリへの入力が許可されていません。入力操作の許可を確認してください。"},
    {"input.error.inject", "The text could not be inserted.", "テキストを入力できませんでした。"},
    {"input.error.on_clipboard",
     "Quillory cannot press the paste key on this desktop. Your words are on the clipboard: paste them "
     "with Ctrl+V.",
     "このデスクトップでは Quillory が貼り付けキーを押せません。話した内容はクリップボードにあります。"
     "Ctrl+V で貼り付けてください。"},
    {"input.kept_in_file", "Your words were saved in %1.", "話した内容は %1 に保存しました。"},
};
} // namespace

std::span<const LocalizedString> sessionStrings() {
    return std::span(kStrings);
}

} // namespace quillory::Localization
