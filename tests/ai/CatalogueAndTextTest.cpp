#include "AI/LocalLLMChat.h"
#include "AI/LocalPolishError.h"
#include "AI/PolishModel.h"
#include "AI/PolishSettings.h"
#include "AI/PolishText.h"
#include "Platform/HostCPU.h"
#include "Runtime/Localization.h"
#include "Runtime/ModelHosting.h"
#include "support/CoreTest.h"

#include <QDir>
#include <QFile>
#include <QJsonDocument>
#include <QJsonObject>
#include <QRegularExpression>

namespace quillory {
namespace {

using testing::CoreTest;
using M = PolishModel;

class CatalogueTest : public CoreTest {};

TEST_F(CatalogueTest, IdsRoundTripAndOnlyTheFiveAreAccepted) {
    QStringList ids;
    for (M m : PolishModels::allCases) {
        ids << PolishModels::id(m);
        EXPECT_EQ(PolishModels::fromId(PolishModels::id(m)), m);
    }
    EXPECT_EQ(ids, (QStringList{"google_gemma-4-e2b-it-q4_k_m", "qwen3.5-4b-instruct-q4_k_m",
                                "phi-3-mini-4k-instruct-q4", "mistral-7b-instruct-v0.3-q4_k_m",
                                "llama-3-8b-japanese-instruct-q4_k_m"}));
    EXPECT_FALSE(PolishModels::fromId("qwen2.5-3b-instruct-q4_k_m"));
    EXPECT_FALSE(PolishModels::fromId("Phi-3-mini-4k-instruct-q4"));
    EXPECT_FALSE(PolishModels::fromId(""));
}

TEST_F(CatalogueTest, FilesSizesFormatsAndServerArguments) {
    EXPECT_EQ(PolishModels::filename(M::gemma4_e2bQ4KM), "google_gemma-4-E2B-it-Q4_K_M.gguf");
    EXPECT_EQ(PolishModels::filename(M::llama3Japanese8bQ4KM), "Llama-3-8B-Japanese-Instruct-Q4_K_M.gguf");
    EXPECT_EQ(PolishModels::downloadSizeBytes(M::qwen35_4bQ4KM), 2708804384);
    EXPECT_EQ(PolishModels::downloadSizeDescription(M::gemma4_e2bQ4KM), "3.46 GB");
    EXPECT_EQ(PolishModels::downloadSizeDescription(M::phi3_miniQ4), "2.3 GB");
    EXPECT_EQ(PolishModels::memoryRequirementDescription(M::gemma4_e2bQ4KM), "2.98 GB");
    EXPECT_EQ(PolishModels::memoryRequirementDescription(M::llama3Japanese8bQ4KM), "7.92 GB");
    EXPECT_EQ(ByteCount::fileStyle(999), "999 bytes");
    EXPECT_EQ(ByteCount::fileStyle(1500), "2 KB");
    EXPECT_EQ(ByteCount::fileStyle(1'250'000), "1.3 MB");
    EXPECT_EQ(PolishModels::promptFormat(M::mistral7b_v03Q4KM), PolishPromptFormat::mistralInstruct);
    EXPECT_EQ(
        PolishModels::stopTokens(M::gemma4_e2bQ4KM),
        (QStringList{"<|turn>user", "<|turn>system", "<|channel>", "<|tool_call>", "<|tool_response>"}));
    EXPECT_EQ(PolishModels::stopTokens(M::phi3_miniQ4),
              (QStringList{"<|end|>", "<|user|>", "<|assistant|>"}));
    EXPECT_EQ(PolishModels::stopTokens(M::mistral7b_v03Q4KM), (QStringList{"</s>", "[INST]"}));
    EXPECT_EQ(PolishModels::extraLlamaServerArguments(M::qwen35_4bQ4KM),
              (QStringList{"--no-mmproj", "--reasoning", "off", "--reasoning-budget", "0"}));
    EXPECT_EQ(PolishModels::extraLlamaServerArguments(M::gemma4_e2bQ4KM), QStringList{"--no-mmproj"});
    EXPECT_TRUE(PolishModels::extraLlamaServerArguments(M::llama3Japanese8bQ4KM).isEmpty());
    for (M m : PolishModels::allCases) {
        EXPECT_TRUE(Localization::hasKey(PolishModels::detailKey(m)));
    }
}

TEST_F(CatalogueTest, DownloadUrlFollowsTheConfiguredHost) {
    const QString phi = PolishModels::downloadURL(M::phi3_miniQ4);
    EXPECT_TRUE(phi.startsWith("https://huggingface.co/")) << phi.toStdString();
    EXPECT_TRUE(phi.endsWith("/Phi-3-mini-4k-instruct-gguf/resolve/main/Phi-3-mini-4k-instruct-q4.gguf"));
    store_->setString(ModelHosting::baseURLKey, "http://mirror.test/models");
    EXPECT_EQ(PolishModels::downloadURL(M::phi3_miniQ4),
              "http://mirror.test/models/microsoft/Phi-3-mini-4k-instruct-gguf/resolve/main/"
              "Phi-3-mini-4k-instruct-q4.gguf");
    qputenv("QUILLORY_MODEL_BASE_URL", "http://127.0.0.1:9/");
    EXPECT_TRUE(PolishModels::downloadURL(M::phi3_miniQ4).startsWith("http://127.0.0.1:9/microsoft/"));
    qunsetenv("QUILLORY_MODEL_BASE_URL");
}

TEST_F(CatalogueTest, HostCheckAcceptsTheTwoLlamaArchitectures) {
    EXPECT_TRUE(HostCPU::isSupportedMachine("x86_64"));
    EXPECT_TRUE(HostCPU::isSupportedMachine("aarch64"));
    EXPECT_FALSE(HostCPU::isSupportedMachine("i686"));
    EXPECT_FALSE(HostCPU::isSupportedMachine("riscv64"));
    EXPECT_FALSE(HostCPU::isSupportedMachine(""));
    EXPECT_FALSE(HostCPU::machineHardwareName().isEmpty());
}

class SettingsTest : public CoreTest {};

TEST_F(SettingsTest, FreshInstallDefaults) {
    EXPECT_FALSE(PolishSettings::isEnabled());
    EXPECT_EQ(PolishSettings::selectedModel(), M::gemma4_e2bQ4KM);
    EXPECT_EQ(PolishSettings::prompt(), PolishSettings::defaultPrompt());
    EXPECT_EQ(PolishSettings::storedPromptForEditing(), PolishSettings::defaultPrompt());
    EXPECT_FALSE(PolishSettings::localLLMChatStoredModel());
    const QString d = PolishSettings::defaultPrompt();
    EXPECT_EQ(d.size(), 626);
    EXPECT_EQ(d.toUtf8().size(), 1610);
    EXPECT_FALSE(d.endsWith('\n'));
    EXPECT_TRUE(
        d.contains(QString::fromUtf8("（例: twenty-five → 25、ten percent → 10%、five dollars → $5）")));
    EXPECT_TRUE(d.contains(QString::fromUtf8("途中候補・重複・誤認識")));
    EXPECT_TRUE(d.contains(QString::fromUtf8("ください。\n\n1. ")));
}

TEST_F(SettingsTest, RetiredModelMigratesOnceAndDeletesItsFile) {
    const QString folder = PolishSettings::modelDirectory();
    ASSERT_TRUE(folder.startsWith(home_.path()));
    ASSERT_TRUE(QDir().mkpath(folder));
    QFile retired(folder + "/qwen2.5-3b-instruct-q4_k_m.gguf");
    ASSERT_TRUE(retired.open(QIODevice::WriteOnly));
    retired.close();
    store_->setString(PolishSettings::modelKey, "qwen2.5-3b-instruct-q4_k_m");
    EXPECT_EQ(PolishSettings::selectedModel(), M::qwen35_4bQ4KM);
    EXPECT_EQ(store_->stringValue(PolishSettings::modelKey), QString("qwen3.5-4b-instruct-q4_k_m"));
    EXPECT_FALSE(QFile::exists(retired.fileName()));
    EXPECT_EQ(PolishSettings::selectedModel(), M::qwen35_4bQ4KM);

    store_->setString(PolishSettings::modelKey, "no-such-model");
    EXPECT_EQ(PolishSettings::selectedModel(), M::gemma4_e2bQ4KM);
    EXPECT_EQ(store_->stringValue(PolishSettings::modelKey), QString("no-such-model"));
    PolishSettings::setSelectedModel(M::phi3_miniQ4);
    EXPECT_EQ(PolishSettings::selectedModel(), M::phi3_miniQ4);
}

TEST_F(SettingsTest, PromptSavingRules) {
    PolishSettings::setPrompt(PolishSettings::defaultPrompt() + "\n");
    EXPECT_FALSE(store_->stringValue(PolishSettings::promptKey));
    PolishSettings::setPrompt("  my prompt\n");
    EXPECT_EQ(store_->stringValue(PolishSettings::promptKey), QString("  my prompt\n"));
    EXPECT_EQ(PolishSettings::prompt(), "  my prompt\n");
    PolishSettings::setPrompt(" \n\t");
    EXPECT_FALSE(store_->stringValue(PolishSettings::promptKey));
    store_->setString(PolishSettings::promptKey, "  \n ");
    EXPECT_EQ(PolishSettings::prompt(), PolishSettings::defaultPrompt());
    EXPECT_EQ(PolishSettings::storedPromptForEditing(), "  \n ");
    PolishSettings::resetPrompt();
    EXPECT_FALSE(store_->stringValue(PolishSettings::promptKey));
}

TEST_F(SettingsTest, ChatModelAndEnabledFlag) {
    store_->setString(PolishSettings::chatModelKey, "bogus");
    EXPECT_FALSE(PolishSettings::localLLMChatStoredModel());
    PolishSettings::setLocalLLMChatStoredModel(M::mistral7b_v03Q4KM);
    EXPECT_EQ(store_->stringValue(PolishSettings::chatModelKey), QString("mistral-7b-instruct-v0.3-q4_k_m"));
    EXPECT_EQ(PolishSettings::localLLMChatStoredModel(), M::mistral7b_v03Q4KM);
    PolishSettings::setEnabled(true);
    EXPECT_TRUE(PolishSettings::isEnabled());
    EXPECT_EQ(store_->boolValue(PolishSettings::enabledKey), true);
}

// ---- prompts ----

QString user(const QString& transcript) {
    return QString::fromUtf8(
               "次の音声入力の累積ログを、上記ルールだけで最終文章に組み立ててください:\n入力本文:\n") +
           transcript;
}

TEST(PolishPromptTest, EveryFormatLaysOutExactly) {
    const QString u = user("B");
    EXPECT_EQ(PolishText::polishPrompt("B", M::qwen35_4bQ4KM, "A"),
              "<|im_start|>system\nA\n<|im_end|>\n<|im_start|>user\n" + u +
                  "\n<|im_end|>\n<|im_start|>assistant\n<think>\n\n</think>\n\n");
    EXPECT_EQ(PolishText::polishPrompt("B", M::gemma4_e2bQ4KM, "A"),
              "<bos><|turn>system\nA\n<|turn>user\n" + u + "\n<|turn>model\n");
    EXPECT_EQ(PolishText::polishPrompt("B", M::phi3_miniQ4, "A"),
              "<|system|>\nA<|end|>\n<|user|>\n" + u + "<|end|>\n<|assistant|>\n");
    EXPECT_EQ(PolishText::polishPrompt("B", M::mistral7b_v03Q4KM, "A"), "<s>[INST] A\n\n" + u + " [/INST]");
    EXPECT_EQ(PolishText::polishPrompt("B", M::llama3Japanese8bQ4KM, "A"),
              "<|begin_of_text|><|start_header_id|>system<|end_header_id|>\n\nA<|eot_id|><|start_header_id|>"
              "user<|end_header_id|>\n\n" +
                  u + "<|eot_id|><|start_header_id|>assistant<|end_header_id|>\n");
    // Instructions keep their own line feed; template tokens in the transcript are not escaped.
    EXPECT_EQ(PolishText::polishPrompt("<|im_end|>", M::phi3_miniQ4, "A\n"),
              "<|system|>\nA\n<|end|>\n<|user|>\n" + user("<|im_end|>") + "<|end|>\n<|assistant|>\n");
}

TEST(PolishPromptTest, CompletionBodyHasSixMembersInOrder) {
    const QByteArray body =
        PolishText::completionBody(QString::fromUtf8("あ\"\n"), {"<|im_end|>", "</s>"}, 256, 0.05, 0.8);
    EXPECT_EQ(body, QByteArray("{\"prompt\":\"") + QString::fromUtf8("あ").toUtf8() +
                        "\\\"\\n\",\"stop\":[\"<|im_end|>\",\"</"
                        "s>\"],\"n_predict\":256,\"temperature\":0.05,\"top_p\":0.8,"
                        "\"stream\":false}");
    EXPECT_EQ(QJsonDocument::fromJson(body).object().size(), 6);
}

class ChatPromptTest : public CoreTest {};

TEST_F(ChatPromptTest, EveryTemplateWithAndWithoutSystemMessage) {
    using R = LocalLLMChatRole;
    const QList<LocalLLMChatMessage> d{
        {R::system, "S"}, {R::user, "U1"}, {R::assistant, "A1"}, {R::user, "U2"}};
    EXPECT_EQ(LocalLLMChatPrompt::build(d, M::qwen35_4bQ4KM),
              "<|im_start|>system\nS<|im_end|>\n<|im_start|>user\nU1<|im_end|>\n<|im_start|>assistant\nA1<|"
              "im_end|>\n"
              "<|im_start|>user\nU2<|im_end|>\n<|im_start|>assistant\n<think>\n\n</think>\n\n");
    EXPECT_EQ(LocalLLMChatPrompt::build(d, M::llama3Japanese8bQ4KM),
              "<|begin_of_text|><|start_header_id|>system<|end_header_id|>\n\nS<|eot_id|>"
              "<|start_header_id|>user<|end_header_id|>\n\nU1<|eot_id|><|start_header_id|>assistant<|end_"
              "header_id|>\n\nA1<|eot_id|>"
              "<|start_header_id|>user<|end_header_id|>\n\nU2<|eot_id|><|start_header_id|>assistant<|end_"
              "header_id|>\n\n");
    EXPECT_EQ(LocalLLMChatPrompt::build(d, M::gemma4_e2bQ4KM),
              "<bos><|turn>system\nS\n<|turn>user\nU1\n<|turn>model\nA1\n<|turn>user\nU2\n<|turn>model\n\n");
    EXPECT_EQ(LocalLLMChatPrompt::build(d, M::phi3_miniQ4),
              "<|system|>\nS<|end|><|user|>\nU1<|end|><|assistant|>\nA1<|end|><|user|>\nU2<|end|><|assistant|"
              ">\n\n");
    EXPECT_EQ(LocalLLMChatPrompt::build(d, M::mistral7b_v03Q4KM),
              "<s>[INST] S\n\nUser: U1\n\nAssistant: A1\n\nUser: U2\n\n[/INST]");
    const QString system = LocalLLMChatPrompt::defaultSystemPrompt();
    EXPECT_FALSE(system.isEmpty());
    EXPECT_EQ(LocalLLMChatPrompt::build({{R::user, "hi"}}, M::mistral7b_v03Q4KM),
              "<s>[INST] " + system + "\n\nUser: hi\n\n[/INST]");
}

// ---- clean-up ----

TEST(CleanTest, ReasoningBlocks) {
    EXPECT_EQ(PolishText::clean("<think>\nlet me see\n</think>\nHello there."), "Hello there.");
    EXPECT_EQ(PolishText::clean("<THINK a=1>x</Think><thinking>y</thinking>ok"), "ok");
    EXPECT_EQ(PolishText::clean("<think>never closed\nstill thinking"), "");
    EXPECT_EQ(PolishText::stripReasoningBlocks("before <think>open"), "before ");
    EXPECT_EQ(PolishText::stripReasoningBlocks("<think>a</think>mid<think>b</think>end"), "midend");
}

// What removing the blocks again and again until nothing changes leaves: the way the answers were
// always cleaned, here as the reference for the single pass.
QString stripByRepeatedRegex(QString text) {
    for (const char* pattern :
         {"(?is)<think[^>]*>[\\s\\S]*?</think>", "(?is)<thinking>[\\s\\S]*?</thinking>"}) {
        const QRegularExpression re(QString::fromLatin1(pattern));
        for (QString next = QString(text).replace(re, QString()); next != text;
             next = QString(text).replace(re, QString())) {
            text = next;
        }
    }
    if (text.contains("<think", Qt::CaseInsensitive) && !text.contains("</think>", Qt::CaseInsensitive)) {
        const auto m = QRegularExpression("(?is)<think[^>]*>[\\s\\S]*\\z").match(text);
        if (m.hasMatch()) {
            text.truncate(m.capturedStart());
        }
    }
    return text;
}

TEST(CleanTest, NestedAndSplitTagsAreRemovedAsByRepeatedRemovalInOnePass) {
    const QStringList cases = {
        "<thi<think>x</think>nk>inner</think>after",
        "a<thi<thi<think>1</think>nk>2</think>nk>3</think>b",
        "<think>a<think>b</think>c</think>d",
        "<think </think> x",
        "<think</think>y</think>z",
        "</thi<think>q</think>nk>w",
        "<thinking>a</thinking><thin<thinking>b</thinking>king>c</thinking>d",
        "<THINK>A</think>B<tHiNk x='>'>C</THINK>D",
        "x<think>no close",
        "y<think no bracket",
        "<think>a</think><think>",
        "plain text 。",
    };
    for (const QString& c : cases) {
        EXPECT_EQ(PolishText::stripReasoningBlocks(c), stripByRepeatedRegex(c)) << c.toStdString();
    }
    // Random mixtures of tag fragments against the reference.
    const QStringList parts = {"<",   "think", ">",    "</think>", "<think>", "</",
                               "thi", "nk>",   "ing>", "a",        "\n"};
    quint32 seed = 12345;
    for (int round = 0; round < 2000; ++round) {
        QString text;
        const int n = 1 + round % 14;
        for (int i = 0; i < n; ++i) {
            seed = seed * 1664525u + 1013904223u;
            text += parts[(seed >> 16) % parts.size()];
        }
        ASSERT_EQ(PolishText::stripReasoningBlocks(text), stripByRepeatedRegex(text)) << text.toStdString();
    }
}

TEST(CleanTest, MegabytesOfNestedTagsAreCleanedAtOnce) {
    // 3.2 MB of "<thi" … "nk>" around one block: each removal makes the next block, so removing
    // them pass by pass took minutes (1.6 MB: 152 s) and ran into the test's time limit; one pass
    // takes milliseconds.
    const int depth = 400'000;
    QString text = QString("<thi").repeated(depth) + "<think>x</think>" +
                   QString("nk>y</think>").repeated(depth) + "end";
    ASSERT_GT(text.size(), 3'200'000);
    EXPECT_EQ(PolishText::stripReasoningBlocks(text), "end");
}

TEST(SplitTest, ShortTextIsOnePieceAndLongTextSplitsAtSentenceEnds) {
    const QString one = QString::fromUtf8("今日は晴れ。明日は雨！");
    EXPECT_EQ(PolishText::splitTranscript(one, 100, 1.0), (QList<PolishText::TranscriptPiece>{{one, ""}}));

    // 1 token a byte, 3 bytes a character: a budget of 30 tokens is 10 characters.
    const QString text = QString::fromUtf8(
        "一二三四五。六七八九？」次の行です\n\n十一十二。十三十四十五十六十七十八十九二十。");
    const auto pieces = PolishText::splitTranscript(text, 30, 1.0);
    QString rebuilt;
    for (const auto& p : pieces) {
        EXPECT_LE(p.text.toUtf8().size(), 30) << p.text.toStdString();
        EXPECT_EQ(p.text, p.text.trimmed());
        rebuilt += p.separatorBefore + p.text;
    }
    EXPECT_EQ(rebuilt, text) << "pieces and separators give the text back";
    ASSERT_GE(pieces.size(), 4);
    EXPECT_EQ(pieces[0].text, QString::fromUtf8("一二三四五。"));
    EXPECT_EQ(pieces[1].text, QString::fromUtf8("六七八九？」")) << "closers stay with their sentence";
    EXPECT_EQ(pieces[2].text, QString::fromUtf8("次の行です"));
    EXPECT_EQ(pieces[3].separatorBefore, "\n\n");
}

TEST(SplitTest, ASentenceLongerThanTheBudgetIsCutAtACommaOrWhereTheBudgetEnds) {
    const QString text = QString::fromUtf8("あいうえお、かきくけこさしすせそたちつてとなにぬねの");
    const auto pieces = PolishText::splitTranscript(text, 24, 1.0); // 8 characters
    QString rebuilt;
    for (const auto& p : pieces) {
        EXPECT_LE(p.text.toUtf8().size(), 24);
        rebuilt += p.separatorBefore + p.text;
    }
    EXPECT_EQ(rebuilt, text);
    ASSERT_EQ(pieces.size(), 4);
    EXPECT_EQ(pieces[0].text, QString::fromUtf8("あいうえお、"));
    EXPECT_EQ(pieces[1].text, QString::fromUtf8("かきくけこさしす"));
    // Never between the halves of a surrogate pair, even with a budget below one character.
    const QString emoji = QString::fromUtf8("😀😀😀");
    const auto tiny = PolishText::splitTranscript(emoji, 1, 1.0);
    ASSERT_EQ(tiny.size(), 3);
    EXPECT_EQ(tiny[0].text, QString::fromUtf8("😀"));
}

TEST(CleanTest, TokensLabelsAndQuotes) {
    EXPECT_EQ(PolishText::clean("Transcript: The meeting is at ten."), "The meeting is at ten.");
    EXPECT_EQ(PolishText::clean("TRANSCRIPT: x"), "x");
    EXPECT_EQ(PolishText::clean("```transcript\nHello.\n```"), "Hello.");
    EXPECT_EQ(PolishText::clean("This transcript is fine."), "This  is fine.");
    EXPECT_EQ(PolishText::clean(QString::fromUtf8("整えた文字起こし\n今日は晴れ。\n明日は雨。")),
              QString::fromUtf8("今日は晴れ。\n明日は雨。"));
    EXPECT_EQ(PolishText::clean(QString::fromUtf8("出力\n出力します。")), QString::fromUtf8("出力します。"));
    EXPECT_EQ(PolishText::clean(QString::fromUtf8("\u201c今日は晴れ。\u201d：")),
              QString::fromUtf8("今日は晴れ。"));
    EXPECT_EQ(PolishText::clean("<|im_end|><s>[INST] Hi</s><|eot_id|>"), "Hi");
    EXPECT_EQ(PolishText::clean("<|im_start|>Hi"), "<|im_start|>Hi");
    EXPECT_EQ(PolishText::clean(QString::fromUtf8("入力本文:  text  \n\n  second ")), "text\nsecond");
}

TEST(CleanTest, ChatOutputKeepsContentAndCutsInventedTurns) {
    EXPECT_EQ(PolishText::cleanChatOutput("Answer.\n<|im_start|>user\nmore", M::qwen35_4bQ4KM), "Answer.");
    EXPECT_EQ(PolishText::cleanChatOutput("Answer.\n<|im_start|>user\nmore", M::phi3_miniQ4),
              "Answer.\n<|im_start|>user\nmore");
    EXPECT_EQ(PolishText::cleanChatOutput("Transcript:\n```cpp\nint x;\n```", M::gemma4_e2bQ4KM),
              "Transcript:\ncpp\nint x;");
    EXPECT_EQ(PolishText::cleanChatOutput("<think>x</think> Hi <|end|>", M::phi3_miniQ4), "Hi");
}

TEST(ErrorTest, EveryKindHasItsDescription) {
    using K = LocalPolishError::Kind;
    for (K k : {K::modelDownloadFailed, K::cleanupFailed, K::serverStartFailed, K::requestFailed,
                K::invalidResponse, K::unsupportedPlatform, K::missingRuntime, K::emptyOutput}) {
        EXPECT_TRUE(Localization::hasKey(LocalPolishError::descriptionKey(k)));
    }
    EXPECT_TRUE(
        LocalPolishError::requestFailed("HTTP 500. boom").localizedDescription().endsWith("HTTP 500. boom"));
    EXPECT_EQ(LocalPolishError::emptyOutput().localizedDescription(), L("polish.error.empty_output"));
    EXPECT_EQ(LocalPolishError(LocalPolishError::Kind::missingRuntime, "ignored").message(), "");
}

} // namespace
} // namespace quillory
