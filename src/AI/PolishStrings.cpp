#include "Runtime/LocalizedStrings.h"

namespace quillory::Localization {

namespace {
constexpr LocalizedString kStrings[] = {
    // Model catalogue
    {"polish.model.gemma4_e2b.detail", "Small and fast; a good default for everyday dictation.",
     "小型で高速です。普段の音声入力に向いた標準の選択です。"},
    {"polish.model.qwen35.detail", "Strong at Japanese and mixed Japanese–English text; needs more memory.",
     "日本語や日英混在の文章に強いモデルです。メモリを多めに使います。"},
    {"polish.model.phi3.detail", "Compact general model; best with English text.",
     "コンパクトな汎用モデルです。英語の文章に向いています。"},
    {"polish.model.mistral7b.detail", "Larger general model; slower, careful edits.",
     "大きめの汎用モデルです。処理は遅めですが丁寧に整えます。"},
    {"polish.model.llama3jp8b.detail", "Japanese-tuned 8B model; the most memory and the slowest.",
     "日本語向けに調整された 8B モデルです。メモリ使用量が最も多く、最も低速です。"},

    // Errors
    {"polish.error.model_download.detail", "The model could not be downloaded: %1",
     "モデルをダウンロードできませんでした: %1"},
    {"polish.error.cleanup.detail", "The local AI servers could not be cleaned up: %1",
     "ローカル AI サーバーを整理できませんでした: %1"},
    {"polish.error.server_start.detail", "The local AI server did not start: %1",
     "ローカル AI サーバーを起動できませんでした: %1"},
    {"polish.error.request.detail", "The request to the local AI failed: %1",
     "ローカル AI への要求に失敗しました: %1"},
    {"polish.error.invalid_response.detail", "The local AI gave an unusable answer: %1",
     "ローカル AI の応答を利用できませんでした: %1"},
    {"polish.error.unsupported_platform", "Local AI polishing is not supported on this processor.",
     "このプロセッサではローカル AI による整形を利用できません。"},
    {"polish.error.runtime_missing", "The local AI runtime (llama-server) was not found.",
     "ローカル AI の実行環境 (llama-server) が見つかりません。"},
    {"polish.error.empty_output", "The local AI returned no text.",
     "ローカル AI からテキストが返されませんでした。"},

    // Runtime clean-up
    {"polish.runtime.cleanup.done", "Stopped %1 local AI server process(es).",
     "ローカル AI サーバーのプロセスを %1 個停止しました。"},
    {"polish.runtime.cleanup.none", "No local AI server is running now.",
     "動作中のローカル AI サーバーはありません。"},

    // Chat
    {"localllm.system.default",
     "You are a helpful assistant running locally on the user's computer. Answer concisely, in the user's "
     "language.",
     "あなたはユーザーのコンピューター上で動作する親切なアシスタントです。ユーザーの言語で簡潔に答えてくださ"
     "い。"},

    // Command line
    {"cli.polish.model_unknown", "Unknown model id: %1", "不明なモデル ID です: %1"},
    {"cli.polish.file_unreadable", "Cannot read the file: %1", "ファイルを読み込めません: %1"},
    {"cli.polish.piece_kept", "A piece was kept as dictated: %1", "一部を口述のまま残しました: %1"},
    {"cli.polish.dialogue_invalid", "The dialogue file is not a JSON array of {role, content} objects: %1",
     "会話ファイルが {role, content} オブジェクトの JSON 配列ではありません: %1"},
    {"cli.models.downloaded", "downloaded", "ダウンロード済み"},
    {"cli.models.not_downloaded", "not downloaded", "未ダウンロード"},
    {"cli.models.deleted", "Deleted %1.", "%1 を削除しました。"},
    {"cli.chat.hint", "Chat with %1. Type a message and press Enter; an empty line or end of input quits.",
     "%1 とチャットします。メッセージを入力して Enter "
     "を押してください。空行または入力の終わりで終了します。"},
};
} // namespace

std::span<const LocalizedString> polishStrings() {
    return kStrings;
}

} // namespace quillory::Localization
