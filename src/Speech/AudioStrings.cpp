#include "Runtime/LocalizedStrings.h"

// The display texts of the microphone: the sound server backend's errors (shown to the user when a
// dictation cannot start) and the `mic` command.

namespace quillory::Localization {

namespace {
constexpr LocalizedString kStrings[] = {
    // Sound server
    {"audio.error.out_of_memory", "Cannot start the sound server connection (out of memory)",
     "サウンドサーバーへの接続を開始できません (メモリ不足)"},
    {"audio.error.connect", "Cannot connect to the sound server: %1", "サウンドサーバーに接続できません: %1"},
    {"audio.error.thread", "Cannot start the sound server connection thread",
     "サウンドサーバー接続のスレッドを開始できません"},
    {"audio.error.no_answer", "The sound server did not answer within %1",
     "サウンドサーバーが %1 以内に応答しませんでした"},
    {"audio.error.list_timeout", "The sound server did not list its sources within %1",
     "サウンドサーバーが %1 以内に入力デバイスの一覧を返しませんでした"},
    {"audio.error.list_failed", "Cannot list the sound server's sources: %1",
     "サウンドサーバーの入力デバイスを一覧できません: %1"},
    {"audio.error.stream", "Cannot create the recording stream: %1", "録音ストリームを作成できません: %1"},
    {"audio.error.open_microphone", "Cannot open the microphone: %1", "マイクを開けません: %1"},
    {"audio.error.open_source", "Cannot open the audio source \"%1\": %2",
     "入力デバイス「%1」を開けません: %2"},
    {"audio.error.capture_lost", "The microphone stopped recording: %1", "マイクの録音が止まりました: %1"},
    {"audio.error.open_timeout", "The microphone did not open within %1",
     "マイクが %1 以内に開きませんでした"},
    {"audio.error.only_monitor",
     "No microphone found: the sound server offers only \"%1\", which records what is played, not what is "
     "spoken",
     "マイクが見つかりません。サウンドサーバーにあるのは「%1」だけで、これは話し声ではなく再生中の音を"
     "録音します"},

    // The mic command
    {"mic.cli.cannot_write", "Cannot write %1: %2", "%1 に書き込めません: %2"},
    {"mic.cli.recording", "Recording from %1 for %2 s (Ctrl+C stops early)",
     "%1 から %2 秒間録音します (Ctrl+C で途中終了)"},
    {"mic.cli.no_audio_level", "no audio", "音声なし"},
    {"mic.cli.level_line", "%1 s  level %2  peak %3", "%1 秒  レベル %2  ピーク %3"},
    {"mic.cli.stopped_early", "Stopped early.", "途中で終了しました。"},
    {"mic.cli.recorded", "Recorded %1 s from %2", "%2 から %1 秒録音しました"},
    {"mic.cli.peak", "Peak: %1", "ピーク: %1"},
    {"mic.cli.rms", "RMS:  %1", "RMS:  %1"},
    {"mic.cli.wrote", "Wrote %1", "%1 に保存しました"},
    {"mic.cli.no_audio",
     "No audio arrived from %1. Check that the source is not muted or suspended (pavucontrol, or 'pactl list "
     "sources').",
     "%1 から音声が届きませんでした。入力がミュートや一時停止になっていないか確認してください "
     "(pavucontrol、または 'pactl list sources')。"},
};
} // namespace

std::span<const LocalizedString> audioStrings() {
    return kStrings;
}

} // namespace quillory::Localization
