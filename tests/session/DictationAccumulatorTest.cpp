#include "App/DictationAccumulator.h"

#include <gtest/gtest.h>

namespace quillory {
namespace {

QString u(const char16_t* s) {
    return QString::fromUtf16(s);
}

TEST(DictationAccumulatorTest, GrowingPartialsStayOneSegmentAndShorterCoveredOnesAreIgnored) {
    DictationAccumulator a;
    for (const char16_t* p : {u"今日は", u"今日はいい", u"今日はいい天気"}) {
        a.updatePartial(u(p));
    }
    EXPECT_TRUE(a.finalizedSegments.empty());
    EXPECT_EQ(a.previewText(), u(u"今日はいい天気"));

    a.updatePartial(u(u"今日はいい天気です"));
    EXPECT_FALSE(a.updatePartial(u(u"いい天気")));
    EXPECT_EQ(a.currentHypothesis, u(u"今日はいい天気です"));

    EXPECT_FALSE(a.updatePartial(QStringLiteral(" \n\t")));
    EXPECT_EQ(a.currentHypothesis, u(u"今日はいい天気です"));
}

TEST(DictationAccumulatorTest, AnUnrelatedPartialStartsANewSegment) {
    DictationAccumulator a;
    a.updatePartial(u(u"明日の会議は十時から"));
    a.updatePartial(u(u"よろしくお願いします"));
    EXPECT_EQ(a.finalizedSegments, std::vector<QString>{u(u"明日の会議は十時から")});
    EXPECT_EQ(a.previewText(), u(u"明日の会議は十時から\nよろしくお願いします"));
}

TEST(DictationAccumulatorTest, SimilarityThresholdsAreThreeAndEight) {
    // Short partials (3 to 5 characters): three common leading characters are needed.
    EXPECT_FALSE(DictationAccumulator::isSameHypothesisUpdate(u(u"あいうえ"), u(u"あいかき")));
    EXPECT_TRUE(DictationAccumulator::isSameHypothesisUpdate(u(u"あいうえ"), u(u"あいうか")));
    // 20 and 30 characters: min(20 / 2, 8) = 8.
    const QString common7 = QStringLiteral("abcdefg");
    const QString p20 = common7 + QStringLiteral("XXXXXXXXXXXXX");
    const QString i30 = common7 + QStringLiteral("YYYYYYYYYYYYYYYYYYYYYYY");
    EXPECT_FALSE(DictationAccumulator::isSameHypothesisUpdate(p20, i30));
    const QString i30b = common7 + QStringLiteral("XYYYYYYYYYYYYYYYYYYYYYY");
    EXPECT_TRUE(DictationAccumulator::isSameHypothesisUpdate(p20, i30b));
    // Containment decides before the prefix test.
    EXPECT_TRUE(DictationAccumulator::isSameHypothesisUpdate(u(u"今日はいい天気です"), u(u"いい天気")));
}

TEST(DictationAccumulatorTest, CommonPrefixCountsUserPerceivedCharacters) {
    EXPECT_EQ(DictationAccumulator::commonPrefixLength(QString(), QStringLiteral("abc")), 0);
    EXPECT_EQ(DictationAccumulator::commonPrefixLength(QStringLiteral("abc"), QStringLiteral("abd")), 2);
    // A family emoji is one character; a decomposed "が" equals the precomposed one.
    EXPECT_EQ(DictationAccumulator::commonPrefixLength(u(u"👨‍👩‍👧x"), u(u"👨‍👩‍👧y")),
              1);
    EXPECT_EQ(DictationAccumulator::commonPrefixLength(u(u"がっこう"), u(u"か\u3099っこ")), 3);
    // A cluster that continues differently does not count.
    EXPECT_EQ(DictationAccumulator::commonPrefixLength(u(u"e\u0301x"), QStringLiteral("ex")), 0);
}

TEST(DictationAccumulatorTest, AppendSegmentIgnoresRepeatsAndExtendsTheLast) {
    DictationAccumulator a;
    EXPECT_FALSE(a.appendSegment(QStringLiteral("  ")));
    EXPECT_TRUE(a.appendSegment(u(u"こんにちは")));
    EXPECT_FALSE(a.appendSegment(u(u" こんにちは\n")));
    EXPECT_FALSE(a.appendSegment(u(u"こんに")));
    EXPECT_TRUE(a.appendSegment(u(u"こんにちは世界 ")));
    EXPECT_EQ(a.finalizedSegments, std::vector<QString>{u(u"こんにちは世界 ")});
    EXPECT_TRUE(a.appendSegment(u(u"さようなら")));
    EXPECT_EQ(a.joinedSegments(), u(u"こんにちは世界 \nさようなら"));
    // Canonically equal text is a repeat: が written as か plus the combining voiced mark.
    DictationAccumulator b;
    EXPECT_TRUE(b.appendSegment(u(u"がっこう")));
    EXPECT_FALSE(b.appendSegment(u(u"か\u3099っこう")));
    EXPECT_FALSE(b.appendSegment(u(u"か\u3099っ")));
    EXPECT_EQ(b.finalizedSegments, std::vector<QString>{u(u"がっこう")});
    // A decomposed partial that the precomposed hypothesis covers is the same hypothesis.
    DictationAccumulator c;
    c.updatePartial(u(u"がっこうへいく"));
    c.updatePartial(u(u"か\u3099っこう"));
    EXPECT_EQ(c.currentHypothesis, u(u"がっこうへいく"));
    EXPECT_TRUE(c.finalizedSegments.empty());
}

} // namespace
} // namespace quillory
