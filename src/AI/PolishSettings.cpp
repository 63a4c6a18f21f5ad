#include "AI/PolishSettings.h"

#include "Runtime/DefaultsStore.h"
#include "Runtime/Paths.h"
#include "Runtime/Text.h"

#include <QDir>
#include <QFile>

namespace quillory::PolishSettings {

namespace {
DefaultsStore& store() {
    return DefaultsStore::standard();
}

// Full-width parentheses in items 5 to 7, ASCII colons after 例, U+2192 arrows, ideographic commas
// and full stops, katakana middle dots; single line feeds, a blank line around the list.
constexpr char kDefaultPrompt[] =
    "あなたは音声入力された文字起こしの累積ログを、最終文章へ組み立てる校正エンジンです。\n"
    "入力には、音声認識の途中候補、言い直し、重複、誤認識、差分の断片が複数行で混ざることがあります。\n"
    "次のルールだけに従ってください。\n"
    "\n"
    "1. 入力全体の意図を読み取り、途中候補や差分の断片を統合して、自然な最終文章を1つ作る。\n"
    "2. 同じ内容が複数回出る場合は、もっとも自然で正しい表現を1回だけ残す。\n"
    "3. 明らかな誤認識、言い間違い、重複を修正する。\n"
    "4. スペル、大文字小文字、句読点の誤りを修正する。\n"
    "5. 数を表す語を数字に変換する（例: twenty-five → 25、ten percent → 10%、five dollars → $5）。\n"
    "6. 話し言葉の句読点を記号に置き換える（例: period → 。または .、comma → 、または ,、question mark → "
    "?）。\n"
    "7. フィラー語を削除する（えー、えっと、えーと、あの、um、uh など）。\n"
    "8. 元の言語を維持する（たとえば英語なら英語のままにする）。\n"
    "\n"
    "意味と語順は厳密に保持してください。\n"
    "ただし、途中候補・重複・誤認識が混ざっている場合は、入力全体から本来話したかった内容を復元してください。"
    "\n"
    "文章を要約せず、話された内容を最終的な本文として整えてください。\n"
    "新しい情報、説明、要約、回答、翻訳、続きを追加しないでください。\n"
    "整えた文字起こしのみを返してください。";
} // namespace

QString defaultPrompt() {
    return QString::fromUtf8(kDefaultPrompt);
}

QString modelDirectory() {
    const QString overridden = qEnvironmentVariable("QUILLORY_MODELS_DIR");
    if (!overridden.isEmpty()) {
        return QDir::cleanPath(QDir(overridden).absolutePath()); // a relative one: from where we started
    }
    return Paths::dataDirectory() + QStringLiteral("/AIModels");
}

bool isEnabled() {
    return store().boolValue(QLatin1String(enabledKey)).value_or(false);
}
void setEnabled(bool enabled) {
    store().setBool(QLatin1String(enabledKey), enabled);
}

PolishModel selectedModel() {
    const auto stored = store().stringValue(QLatin1String(modelKey));
    if (!stored) {
        return defaultSelectedModel;
    }
    if (*stored == QLatin1String(retiredModelId)) {
        store().setString(QLatin1String(modelKey), PolishModels::id(PolishModel::qwen35_4bQ4KM));
        const QString retired = modelDirectory() + QLatin1Char('/') + QLatin1String(retiredModelFilename);
        if (QFile::exists(retired)) {
            QFile::remove(retired); // best effort
        }
        return PolishModel::qwen35_4bQ4KM;
    }
    return PolishModels::fromId(*stored).value_or(defaultSelectedModel);
}

void setSelectedModel(PolishModel model) {
    store().setString(QLatin1String(modelKey), PolishModels::id(model));
}

QString prompt() {
    const QString stored = store().stringValue(QLatin1String(promptKey)).value_or(QString());
    if (!Text::isBlank(stored)) {
        return stored;
    }
    return defaultPrompt();
}

QString storedPromptForEditing() {
    return store().stringValue(QLatin1String(promptKey)).value_or(defaultPrompt());
}

void setPrompt(const QString& text) {
    const QString trimmed = Text::trimmed(text);
    if (trimmed.isEmpty() || trimmed == defaultPrompt()) {
        store().remove(QLatin1String(promptKey));
    } else {
        store().setString(QLatin1String(promptKey), text);
    }
}

void resetPrompt() {
    store().remove(QLatin1String(promptKey));
}

std::optional<PolishModel> localLLMChatStoredModel() {
    const auto stored = store().stringValue(QLatin1String(chatModelKey));
    if (!stored) {
        return std::nullopt;
    }
    return PolishModels::fromId(*stored);
}

void setLocalLLMChatStoredModel(PolishModel model) {
    store().setString(QLatin1String(chatModelKey), PolishModels::id(model));
}

} // namespace quillory::PolishSettings
