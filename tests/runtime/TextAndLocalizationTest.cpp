#include "Runtime/Localization.h"
#include "Runtime/Paths.h"
#include "Runtime/Text.h"
#include "Strings/StringTables.h"

#include <QSet>

#include <gtest/gtest.h>

using namespace quillory;

TEST(TextTest, TrimsUnicodeWhiteSpaceAndLineBreaks) {
    EXPECT_EQ(Text::trimmed(QStringLiteral("\u3000\t こんにちは\r\n\u2028")), QStringLiteral("こんにちは"));
    EXPECT_EQ(Text::trimmed(QStringLiteral(" a b ")), QStringLiteral("a b"));
    EXPECT_TRUE(Text::isBlank(QStringLiteral(" \n\u3000")));
    EXPECT_FALSE(Text::isBlank(QStringLiteral(" x ")));
}

TEST(TextTest, CountsUserPerceivedCharacters) {
    EXPECT_EQ(Text::graphemeCount(QString()), 0);
    EXPECT_EQ(Text::graphemeCount(QStringLiteral("abc")), 3);
    EXPECT_EQ(Text::graphemeCount(QStringLiteral("日本語")), 3);
    EXPECT_EQ(Text::graphemeCount(QStringLiteral("👍🏽")), 1);           // emoji + skin tone
    EXPECT_EQ(Text::graphemeCount(QStringLiteral("👨‍👩‍👧")), 1); // ZWJ family
    EXPECT_EQ(Text::graphemeCount(QStringLiteral("か\u3099")), 1);           // combining voiced mark
    EXPECT_EQ(Text::graphemeCount(QStringLiteral("a\r\nb")), 3);             // CR LF is one
    EXPECT_TRUE(Text::canonicallyEqual(QStringLiteral("が"), QStringLiteral("か\u3099")));
    EXPECT_FALSE(Text::canonicallyEqual(QStringLiteral("が"), QStringLiteral("か")));
}

TEST(LocalizationTest, EveryKeyHasAnEnglishTextAndFormatsFillThePlaceholder) {
    QSet<QByteArray> seen;
    for (const auto& s : Localization::localizedStrings()) {
        EXPECT_TRUE(s.en && *s.en) << s.key;
        EXPECT_FALSE(seen.contains(s.key)) << "duplicate key " << s.key;
        seen.insert(s.key);
        const bool enHas = QByteArray(s.en).contains("%1");
        const bool jaHas = s.ja && QByteArray(s.ja).contains("%1");
        EXPECT_TRUE(!s.ja || !*s.ja || enHas == jaHas) << "placeholder mismatch in " << s.key;
    }
    Localization::setLanguage(Localization::Language::English);
    EXPECT_EQ(Localization::format("diagnostics.error.write_failed", QStringLiteral("disk full")),
              QStringLiteral("Could not write the export file: disk full"));
    Localization::setLanguage(Localization::Language::Japanese);
    EXPECT_TRUE(Localization::text("diagnostics.error.no_entries").contains(QStringLiteral("診断ログ")));
    Localization::resetLanguage();
    EXPECT_EQ(Localization::text("no.such.key"), QStringLiteral("no.such.key"));
}

TEST(LocalizationTest, ReadsOnlyTheInstalledTable) {
    // The runtime knows no subsystem's texts: each program's main installs them.
    const Localization::LocalizedString own[] = {{"test.only", "Only here", ""}};
    Localization::installStrings({std::begin(own), std::end(own)});
    EXPECT_EQ(Localization::text("test.only"), QStringLiteral("Only here"));
    EXPECT_FALSE(Localization::hasKey("diagnostics.error.no_entries"));
    EXPECT_EQ(Localization::text("diagnostics.error.no_entries"), QStringLiteral("diagnostics.error.no_entries"));
    Localization::installAllStrings();
    EXPECT_FALSE(Localization::hasKey("test.only"));
    EXPECT_TRUE(Localization::hasKey("diagnostics.error.no_entries"));
}

TEST(PathsTest, FollowsTheXdgVariablesAndIgnoresRelativeOnes) {
    const QByteArray saved = qgetenv("XDG_DATA_HOME");
    qputenv("XDG_DATA_HOME", "/tmp/qy-data");
    EXPECT_EQ(Paths::dataDirectory(), QStringLiteral("/tmp/qy-data/quillory"));
    qputenv("XDG_DATA_HOME", "relative/dir");
    EXPECT_EQ(Paths::dataDirectory(), Paths::homeDirectory() + QStringLiteral("/.local/share/quillory"));
    qputenv("XDG_DATA_HOME", saved);
}
