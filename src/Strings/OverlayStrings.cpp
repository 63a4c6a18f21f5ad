#include "Runtime/LocalizedStrings.h"

namespace quillory::Localization {

namespace {
constexpr LocalizedString kStrings[] = {
    {"overlay.inputting", "Listening…", "音声入力中…"},
    {"overlay.processing_short", "Inserting…", "入力しています…"},
    {"overlay.caption.recognising", "Recognising the last words…", "最後の言葉を認識しています…"},
    {"overlay.error_banner", "Dictation failed", "音声入力に失敗しました"},
    {"overlay.badge.polishing", "AI polishing", "AI 整形中"},
    {"overlay.badge.ai", "AI", "AI"},
    {"overlay.cancel_commit.a11y", "Insert now", "今すぐ入力"},
    {"overlay.cancel_commit.help", "Stop waiting and insert what was recognised so far.",
     "待たずに、ここまで認識したテキストを入力します。"},
    {"overlay.discard.a11y", "Discard", "破棄"},
    {"overlay.discard.help", "Stop and discard this dictation (Undo brings it back for 3 seconds).",
     "この音声入力を止めて破棄します (3 秒間は「元に戻す」で戻せます)。"},
    {"overlay.discarded", "Discarded", "破棄しました"},
    {"overlay.undo", "Undo", "元に戻す"},
    {"menu.dismiss_error", "Dismiss Error", "エラーを閉じる"},
    {"overlay.dismiss_error.help", "Close this message.", "このメッセージを閉じます。"},
    {"overlay.transcript_toggle.a11y", "Show or hide the transcript", "認識テキストの表示を切り替え"},
    {"overlay.transcript_title", "Transcript", "認識テキスト"},
};
} // namespace

std::span<const LocalizedString> overlayStrings() {
    return kStrings;
}

} // namespace quillory::Localization
