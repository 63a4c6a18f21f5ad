#include "Runtime/LocalizedStrings.h"

namespace quillory::Localization {

namespace {
// Keep keys grouped by subsystem; add new ones to the group they belong to.
constexpr LocalizedString kStrings[] = {
    // Diagnostics export
    {"diagnostics.error.read_failed", "Could not read the diagnostics log: %1",
     "診断ログを読み込めませんでした: %1"},
    {"diagnostics.error.write_failed", "Could not write the export file: %1",
     "書き出しファイルを保存できませんでした: %1"},
    {"diagnostics.error.no_entries", "The diagnostics log has no entries in the selected period.",
     "選択した期間の診断ログはありません。"},
    {"diagnostics.save.title", "Export Diagnostics", "診断情報を書き出す"},
    {"diagnostics.save.prompt", "Export", "書き出す"},

    // Command line
    {"cli.hint.no_tray",
     "Quillory %1: the tray app is not available in this build yet. Run 'quillory --help' for the commands.",
     "Quillory %1: このビルドではトレイアプリはまだ使えません。コマンドは 'quillory --help' "
     "で確認できます。"},
    {"cli.error.usage", "Usage error: %1", "使い方の誤り: %1"},
    {"cli.error.unknown_entry", "No dictionary entry with the id %1.", "ID %1 の辞書項目はありません。"},
    {"cli.error.dictionary_full", "The dictionary already holds the most entries it can keep (%1).",
     "辞書はすでに上限の項目数 (%1) に達しています。"},
    {"cli.error.no_such_key", "No value is stored under %1.", "%1 には値が保存されていません。"},
    {"cli.error.bad_value", "The value cannot be read as the given type: %1",
     "値を指定の型として読めません: %1"},
    {"cli.error.settings_write", "The settings could not be saved: %1", "設定を保存できませんでした: %1"},
    {"cli.error.settings_read", "The settings could not be read: %1", "設定を読み込めませんでした: %1"},
};
} // namespace

std::span<const LocalizedString> coreStrings() {
    return kStrings;
}

} // namespace quillory::Localization
