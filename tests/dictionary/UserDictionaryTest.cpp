#include "Dictionary/UserDictionary.h"

#include "support/CoreTest.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>

#include <chrono>

using namespace quillory;
using quillory::testing::CoreTest;

namespace {
UserDictionaryEntry entry(const char* source, const char* target) {
    return UserDictionaryEntry{QUuid::createUuid(), QString::fromUtf8(source), QString::fromUtf8(target)};
}
QString apply(const char* text, const std::vector<UserDictionaryEntry>& entries) {
    return UserDictionary::applySubstitutions(QString::fromUtf8(text), entries);
}
using UserDictionaryTest = CoreTest;
} // namespace

TEST(SubstitutionTest, LongerSourcesWinWhateverTheListOrder) {
    const std::vector<UserDictionaryEntry> entries{entry("機械", "X"), entry("機械学習", "Y")};
    EXPECT_EQ(apply("機械学習と機械", entries), QStringLiteral("YとX"));
    // Length counts user-perceived characters: "が" written decomposed is one character, so
    // "かが" (2) is not longer than "かき" (2) and list order decides.
    const std::vector<UserDictionaryEntry> sameLength{entry("か\u3099か", "A"), entry("かか", "B")};
    EXPECT_EQ(UserDictionary::applySubstitutions(QStringLiteral("か\u3099かか"), sameLength),
              QStringLiteral("Aか"));
}

TEST(SubstitutionTest, OnePassOverTheOriginalTextNoOutputIsRewritten) {
    // Every rule sees the text as dictated, never another rule's output.
    EXPECT_EQ(apply("ab", {entry("a", "b"), entry("b", "c")}), QStringLiteral("bc"));
    EXPECT_EQ(apply("ab", {entry("b", "c"), entry("a", "b")}), QStringLiteral("bc"));
    // A rule never rewrites what it has just inserted.
    EXPECT_EQ(apply("abc", {entry("b", "bb")}), QStringLiteral("abbc"));
    EXPECT_EQ(apply("aaa", {entry("aa", "a")}), QStringLiteral("aa")); // non-overlapping, left to right
    // Equal lengths overlapping: the earlier rule in the list wins where they compete.
    EXPECT_EQ(apply("abc", {entry("bc", "2"), entry("ab", "1")}), QStringLiteral("a2"));
    EXPECT_EQ(apply("abc", {entry("ab", "1"), entry("bc", "2")}), QStringLiteral("1c"));
    // A longer source wins over a shorter one that overlaps it from the left.
    EXPECT_EQ(apply("abcd", {entry("ab", "Y"), entry("bcd", "X")}), QStringLiteral("aX"));
}

TEST(SubstitutionTest, AShorterRuleNeverRewritesALongerRulesOutputInALargeDictionary) {
    // 10,000 entries "語<n>" → "単語<n>": "語1" is a prefix of "語14" and of its output "単語14".
    std::vector<UserDictionaryEntry> entries;
    for (int i = 0; i < 10000; ++i) {
        entries.push_back(UserDictionaryEntry{QUuid::createUuid(), QStringLiteral("語%1").arg(i),
                                              QStringLiteral("単語%1").arg(i)});
    }
    EXPECT_EQ(UserDictionary::applySubstitutions(QStringLiteral("語14"), entries), QStringLiteral("単語14"));
    EXPECT_EQ(UserDictionary::applySubstitutions(QStringLiteral("語9999と語1、語"), entries),
              QStringLiteral("単語9999と単語1、語"));
    const QString longText = QStringLiteral("語%1。").arg(1234).repeated(2000);
    EXPECT_EQ(UserDictionary::applySubstitutions(longText, entries),
              QStringLiteral("単語1234。").repeated(2000));
}

TEST(SubstitutionTest, BlankSourcesAreIgnoredTargetsAreNotTrimmedMatchingIsLiteral) {
    EXPECT_EQ(apply("text", {entry("  \n", "X")}), QStringLiteral("text"));
    EXPECT_EQ(apply("a-b", {entry(" - ", "  ")}), QStringLiteral("a  b")); // source trimmed, target kept
    EXPECT_EQ(apply("Quillory quillory", {entry("quillory", "Q")}), QStringLiteral("Quillory Q"));
    EXPECT_EQ(apply("a.c abc", {entry(".", "!")}), QStringLiteral("a!c abc")); // no pattern meaning
    EXPECT_EQ(apply("unchanged", {}), QStringLiteral("unchanged"));
}

TEST(ContextualStringsTest, TargetsFirstTrimmedDedupedAndCapped) {
    EXPECT_EQ(UserDictionary::contextualStrings({entry("a", "A"), entry("b", "A")}),
              (QStringList{"A", "a", "b"}));
    EXPECT_EQ(UserDictionary::contextualStrings(
                  {entry(" 寿司 ", "\tすし\n"), entry("   ", ""), entry("すし", "寿司")}),
              (QStringList{QStringLiteral("すし"), QStringLiteral("寿司")}));
    std::vector<UserDictionaryEntry> many;
    for (int i = 0; i < 80; ++i) {
        many.push_back(UserDictionaryEntry{QUuid::createUuid(), QStringLiteral("s%1").arg(i),
                                           QStringLiteral("t%1").arg(i)});
    }
    const QStringList hints = UserDictionary::contextualStrings(many);
    ASSERT_EQ(hints.size(), 100);
    EXPECT_EQ(hints.last(), QStringLiteral("s49"));
}

TEST_F(UserDictionaryTest, StoresUpperCaseIdsAndLoadsWhatItSaved) {
    const std::vector<UserDictionaryEntry> entries{entry("寿司", "すし"), entry("a", "b")};
    UserDictionary::saveEntries(entries);
    EXPECT_EQ(UserDictionary::loadEntries(), entries);
    const auto data = store_->dataValue(QStringLiteral("quillory.userDictionary.entries"));
    ASSERT_TRUE(data);
    const QJsonArray array = QJsonDocument::fromJson(*data).array();
    ASSERT_EQ(array.size(), 2);
    const QString id = array[0].toObject()["id"].toString();
    EXPECT_EQ(id, id.toUpper());
    EXPECT_EQ(id.size(), 36);
    EXPECT_EQ(array[0].toObject().keys(), (QStringList{"id", "source", "target"}));
    // The loaded entries are what later commits substitute with.
    EXPECT_EQ(UserDictionary::applySubstitutions(QStringLiteral("寿司とa")), QStringLiteral("すしとb"));
}

TEST_F(UserDictionaryTest, CapsAt100OnSaveAndOnLoad) {
    std::vector<UserDictionaryEntry> many;
    for (int i = 0; i < 150; ++i) {
        many.push_back(UserDictionaryEntry{QUuid::createUuid(), QString::number(i), QStringLiteral("x")});
    }
    store_->setData(QStringLiteral("quillory.userDictionary.entries"), UserDictionary::encode(many));
    const auto loaded = UserDictionary::loadEntries();
    ASSERT_EQ(loaded.size(), 100u);
    EXPECT_EQ(loaded.back().source, QStringLiteral("99"));
    UserDictionary::saveEntries(many);
    EXPECT_EQ(
        UserDictionary::decode(*store_->dataValue(QStringLiteral("quillory.userDictionary.entries")))->size(),
        100u);
}

TEST_F(UserDictionaryTest, UndecodableDataReadsAsEmptyAndStaysUntilTheNextSave) {
    const QString key = QStringLiteral("quillory.userDictionary.entries");
    const char* id = "\"E621E1F8-C36C-495A-93FC-0C247A3E6E5F\"";
    for (const QByteArray& bad :
         {QByteArray("not json"), QByteArray("{}"), QByteArray("[{\"source\":\"a\",\"target\":\"b\"}]"),
          QByteArray("[{\"id\":\"nope\",\"source\":\"a\",\"target\":\"b\"}]"),
          QByteArray("[{\"id\":") + id + ",\"source\":1,\"target\":\"b\"}]",
          QByteArray("[{\"id\":") + id + ",\"source\":\"a\",\"target\":\"b\"}, 5]"}) {
        store_->setData(key, bad);
        EXPECT_TRUE(UserDictionary::loadEntries().empty()) << bad.toStdString();
        EXPECT_EQ(store_->dataValue(key), bad);
    }
    // Lower-case ids are read; the stored form is rewritten upper-case at the next save.
    store_->setData(
        key,
        QByteArray("[{\"id\":\"e621e1f8-c36c-495a-93fc-0c247a3e6e5f\",\"source\":\"a\",\"target\":\"b\"}]"));
    const auto loaded = UserDictionary::loadEntries();
    ASSERT_EQ(loaded.size(), 1u);
    UserDictionary::saveEntries(loaded);
    EXPECT_TRUE(store_->dataValue(key)->contains("E621E1F8-C36C-495A-93FC-0C247A3E6E5F"));
}

TEST_F(UserDictionaryTest, AnOutputPastTheBoundDegradesToTheUnsubstitutedText) {
    // Each rule's target holds four copies of the next (shorter) rule's source: applied one after
    // another, 21 rules would multiply a short text by 4^21. In one pass only the first applies.
    std::vector<UserDictionaryEntry> chain;
    for (int i = 0; i < 21; ++i) {
        const QString source(30 - i, QLatin1Char('z'));
        const QString next(29 - i, QLatin1Char('z'));
        chain.push_back(
            UserDictionaryEntry{QUuid::createUuid(), source, (next + QLatin1Char('|')).repeated(4)});
    }
    const QString text = QString(30, QLatin1Char('z')) + QStringLiteral("は音声入力");
    EXPECT_EQ(UserDictionary::applySubstitutions(text, chain),
              (QString(29, QLatin1Char('z')) + QLatin1Char('|')).repeated(4) + QStringLiteral("は音声入力"));
    EXPECT_TRUE(diagnosticsMessages().isEmpty());

    // A huge target used many times would pass the bound: the text stays as it was, and says why.
    const std::vector<UserDictionaryEntry> huge{
        UserDictionaryEntry{QUuid::createUuid(), QStringLiteral("z"), QString(100000, QLatin1Char('x'))}};
    EXPECT_EQ(UserDictionary::applySubstitutions(text, huge), text);
    const QStringList messages = diagnosticsMessages();
    ASSERT_EQ(messages.size(), 1);
    EXPECT_TRUE(messages[0].startsWith(QStringLiteral("stage=dictionary result=skipped reason=output_limit")))
        << messages[0].toStdString();
}

TEST(SubstitutionTest, LargeButOrdinaryExpansionsAreApplied) {
    // A signature-like entry used many times, and a long text: both well within the bound.
    const QString signature(1000, QLatin1Char('s'));
    const std::vector<UserDictionaryEntry> entries{
        UserDictionaryEntry{QUuid::createUuid(), QStringLiteral("署名"), signature}};
    EXPECT_EQ(UserDictionary::applySubstitutions(QStringLiteral("署名 ").repeated(200), entries),
              (signature + QLatin1Char(' ')).repeated(200));
    const QString longText = QStringLiteral("ab").repeated(500000);
    EXPECT_EQ(UserDictionary::applySubstitutions(longText, {entry("a", "xyz")}),
              QStringLiteral("xyzb").repeated(500000));
    // Matches are counted as they are replaced, without overlaps: 20,000 "a" hold 10,000 "aa"
    // (19,999 if overlaps counted, which would cross the bound of 320,000).
    const std::vector<UserDictionaryEntry> widen{
        UserDictionaryEntry{QUuid::createUuid(), QStringLiteral("aa"), QString(22, QLatin1Char('b'))}};
    EXPECT_EQ(UserDictionary::applySubstitutions(QString(20000, QLatin1Char('a')), widen),
              QString(220000, QLatin1Char('b')));
    EXPECT_EQ(UserDictionary::substitutionOutputLimit(10), 262144);
    EXPECT_EQ(UserDictionary::substitutionOutputLimit(1000000), 16000000);
}

TEST_F(UserDictionaryTest, UpdateEntriesLeavesUndecodableDataAlone) {
    const QString key = QStringLiteral("quillory.userDictionary.entries");
    store_->setData(key, "[{\"source\":\"no id\"}]");
    QString error;
    EXPECT_FALSE(UserDictionary::updateEntries(
        [](std::vector<UserDictionaryEntry>& entries) {
            entries.push_back(
                UserDictionaryEntry{QUuid::createUuid(), QStringLiteral("a"), QStringLiteral("b")});
            return true;
        },
        &error));
    EXPECT_TRUE(error.contains(key)) << error.toStdString();
    EXPECT_EQ(store_->dataValue(key), QByteArray("[{\"source\":\"no id\"}]"));

    store_->remove(key);
    EXPECT_TRUE(UserDictionary::updateEntries([](std::vector<UserDictionaryEntry>& entries) {
        entries.push_back(UserDictionaryEntry{QUuid::createUuid(), QStringLiteral("a"), QStringLiteral("b")});
        return true;
    }));
    EXPECT_EQ(UserDictionary::loadEntries().size(), 1u);
}
