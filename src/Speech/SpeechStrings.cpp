#include "Runtime/LocalizedStrings.h"

namespace quillory::Localization {

namespace {
constexpr LocalizedString kStrings[] = {
    // Speech model catalogue
    {"speech.model.kotoba_v2.detail", "Tuned for Japanese; the most accurate on dictated Japanese.",
     "日本語向けに調整されたモデルです。日本語の音声入力で最も正確です。"},
    {"speech.model.large_v3_turbo.detail", "Multilingual; more robust outside read speech.",
     "多言語モデルです。読み上げ以外の話し方にも強いモデルです。"},
    {"speech.model.large_v3_turbo_q8.detail",
     "Multilingual; about a third faster than Q5_0 on the processor, a larger download.",
     "多言語モデルです。Q5_0 よりプロセッサーでの処理が約3割速く、ダウンロードは大きくなります。"},
    {"speech.model.small_q8.detail", "Small and fast, for slow machines; faster than Q5_1 on the processor.",
     "小型で高速です。処理の遅いマシン向けで、プロセッサーでは Q5_1 より速く動きます。"},
    {"speech.model.small.detail", "Small and fast, for slow machines; less accurate.",
     "小型で高速です。処理の遅いマシン向けですが、精度は下がります。"},
    {"speech.model.base.detail", "The smallest; for very slow machines.",
     "最小のモデルです。非常に遅いマシン向けです。"},

    // Command line
    {"speech.cli.model_missing",
     "The speech model %1 is not downloaded. Download it with: quillory speech-models download %1",
     "音声認識モデル %1 がダウンロードされていません。次のコマンドでダウンロードしてください: quillory speech-models download %1"},
};
} // namespace

std::span<const LocalizedString> speechStrings() { return kStrings; }

} // namespace quillory::Localization
