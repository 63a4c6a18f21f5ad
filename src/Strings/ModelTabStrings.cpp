#include "Runtime/LocalizedStrings.h"

namespace quillory::Localization {

namespace {
constexpr LocalizedString kStrings[] = {
    // Polish tab
    {"polish.section.title", "Polishing", "文章の整形"},
    {"polish.enable", "Polish dictated text with a local AI model", "音声入力の文章をローカル AI で整える"},
    {"polish.description",
     "After you stop dictating, a language model on this computer tidies punctuation, fillers and obvious "
     "recognition mistakes before the text is inserted. Nothing leaves this computer.",
     "音声入力を終えると、このコンピュータ上の言語モデルが句読点やフィラー、明らかな認識ミスを整えてから"
     "文章を挿入します。データが外部に送られることはありません。"},
    {"polish.model.section", "Model", "モデル"},
    {"polish.local_only", "The model runs only on this computer.", "モデルはこのコンピュータ上だけで動作します。"},
    {"polish.model.label", "Model", "モデル"},
    {"polish.model.download_size", "Download size", "ダウンロードサイズ"},
    {"polish.model.memory", "Memory needed", "必要なメモリ"},
    {"polish.model.downloading", "Downloading…", "ダウンロード中…"},
    {"polish.model.status", "Status", "状態"},
    {"polish.model.downloaded", "Downloaded", "ダウンロード済み"},
    {"polish.model.not_downloaded", "Not downloaded", "未ダウンロード"},
    {"polish.model.download", "Download", "ダウンロード"},
    {"polish.model.redownload", "Download Again", "再ダウンロード"},
    {"polish.model.delete", "Delete", "削除"},
    {"polish.runtime.cleanup", "End Stray AI Servers", "残っている AI サーバーを終了"},
    {"polish.prompt.section", "Prompt", "プロンプト"},
    {"polish.prompt.hint", "Instructions given to the model with every dictated text.",
     "音声入力の文章ごとにモデルへ渡す指示です。"},
    {"polish.prompt.reset", "Reset to Default", "初期設定に戻す"},
    {"polish.test.section", "Try It", "試してみる"},
    {"polish.test.uses", "The test uses %1 and the prompt above.", "テストでは %1 と上のプロンプトを使います。"},
    {"polish.test.help.extra",
     "The first test may take a while: the model is downloaded and started when needed.",
     "初回のテストは時間がかかることがあります。必要に応じてモデルのダウンロードと起動を行います。"},
    {"polish.test.input", "Sample text", "サンプルの文章"},
    {"polish.test.run", "Polish", "整形する"},
    {"polish.test.running", "Polishing…", "整形中…"},
    {"polish.test.output", "Result", "結果"},
    {"polish.test.output.placeholder", "The polished text appears here.", "整形された文章がここに表示されます。"},
    {"polish.test.result.model", "Model: %1", "モデル: %1"},
    {"polish.test.result.duration", "Time: %1 s", "所要時間: %1 秒"},

    // Chat tab
    {"localllm.section.title", "Chat with a Local Model", "ローカルモデルとチャット"},
    {"localllm.help.detail",
     "Try a downloaded model in a short conversation. The conversation stays in memory and is not saved.",
     "ダウンロード済みのモデルを短い会話で試せます。会話はメモリ上にだけあり、保存されません。"},
    {"localllm.model.label", "Model", "モデル"},
    {"localllm.conversation.section", "Conversation", "会話"},
    {"localllm.download.hint", "No model is downloaded yet. Choose one and download it to start chatting.",
     "ダウンロード済みのモデルがありません。モデルを選んでダウンロードするとチャットを始められます。"},
    {"localllm.empty.hint", "Type a message below. Return sends, Shift+Return starts a new line.",
     "下にメッセージを入力してください。Return で送信、Shift+Return で改行します。"},
    {"localllm.role.user", "You", "あなた"},
    {"localllm.role.assistant", "Model", "モデル"},
    {"localllm.status.responding", "Responding…", "応答中…"},
    {"localllm.input.accessibility", "Message to the model", "モデルへのメッセージ"},
    {"localllm.send", "Send", "送信"},
    {"localllm.clear", "Clear", "クリア"},

    // Speech model section
    {"speech.model.section", "Speech Recognition Model", "音声認識モデル"},
    {"speech.model.label", "Model", "モデル"},
    {"speech.model.use", "Use for Dictation", "音声入力に使う"},
    {"speech.model.in_use", "in use", "使用中"},
    {"speech.device.label", "Recognition device", "認識に使うデバイス"},
    {"speech.device.auto", "Automatic", "自動"},
    {"speech.device.cpu", "Processor only", "プロセッサのみ"},
    {"speech.device.gpu", "Graphics card (Vulkan)", "グラフィックカード (Vulkan)"},
    {"speech.device.help",
     "Automatic uses the graphics card when it computes correctly, else the processor. A change applies from the next dictation (the model is loaded again).",
     "自動では、グラフィックカードが正しく計算できればそれを使い、できなければプロセッサを使います。変更は次の音声入力から反映されます (モデルを読み込み直します)。"},
    {"speech.device.now_gpu", "Now: graphics card %1 (%2)", "現在: グラフィックカード %1 (%2)"},
    {"speech.device.now_cpu", "Now: processor (%1)", "現在: プロセッサ (%1)"},
    {"speech.device.pending", "Now: decided at the next dictation", "現在: 次の音声入力の時に決まります"},
    {"settings.model.error.unknown", "The operation failed.", "操作に失敗しました。"},
};
} // namespace

std::span<const LocalizedString> modelTabStrings() {
    return kStrings;
}

} // namespace quillory::Localization
