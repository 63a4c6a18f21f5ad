// The dictionary tab over the real store: registering, the limit of 100, edits and removals
// saved whole, and everything locked while a dictation runs.
#include "SettingsTestSupport.h"

#include "UI/Settings/DictionaryTab.h"

#include "Runtime/DefaultsStore.h"

#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QTest>

using namespace quillory;
using namespace quillory::testing;

namespace {

class DictionaryTabTest : public SettingsTest {
protected:
    DictionaryTab* tab() {
        if (!tab_) {
            tab_ = shown(new DictionaryTab(*state));
        }
        return tab_;
    }
    void draft(const QString& source, const QString& target) {
        tab()->draftSourceField()->setText(source);
        tab()->draftTargetField()->setText(target);
    }
    static std::vector<UserDictionaryEntry> stored() { return UserDictionary::loadEntries(); }
    DictionaryTab* tab_ = nullptr;
};

TEST_F(DictionaryTabTest, RegistersTrimmedDraftsAndRefusesBlankSources) {
    draft(QStringLiteral("   "), QStringLiteral("x"));
    EXPECT_FALSE(tab()->registerButton()->isEnabled());
    tab()->registerDraft();
    EXPECT_TRUE(stored().empty());

    draft(QStringLiteral("  くいろりー \n"), QStringLiteral("  Quillory "));
    EXPECT_TRUE(tab()->registerButton()->isEnabled());
    QTest::mouseClick(tab()->registerButton(), Qt::LeftButton);
    ASSERT_EQ(stored().size(), 1u);
    EXPECT_EQ(stored()[0].source, QStringLiteral("くいろりー"));
    EXPECT_EQ(stored()[0].target, QStringLiteral("Quillory"));
    EXPECT_TRUE(tab()->draftSourceField()->text().isEmpty());
    EXPECT_TRUE(tab()->draftTargetField()->text().isEmpty());

    // An empty target is allowed (the source then only serves as a hint), and duplicates are kept.
    draft(QStringLiteral("くいろりー"), QString());
    tab()->registerDraft();
    ASSERT_EQ(stored().size(), 2u);
    EXPECT_EQ(stored()[1].target, QString());
    EXPECT_EQ(tab()->countLabel()->text(), QStringLiteral("2 of 100 entries"));
    EXPECT_EQ(tab()->rows().size(), 2u);
}

TEST_F(DictionaryTabTest, HoldsAtMostOneHundredEntries) {
    std::vector<UserDictionaryEntry> entries;
    for (int i = 0; i < 99; ++i) {
        entries.push_back({QUuid::createUuid(), QStringLiteral("s%1").arg(i), QStringLiteral("t%1").arg(i)});
    }
    UserDictionary::saveEntries(entries);
    draft(QStringLiteral("hundredth"), QStringLiteral("t"));
    ASSERT_EQ(tab()->entries().size(), 99u); // loaded when shown
    EXPECT_TRUE(tab()->canRegister());
    tab()->registerDraft();
    EXPECT_EQ(stored().size(), 100u);

    draft(QStringLiteral("one too many"), QStringLiteral("t"));
    EXPECT_FALSE(tab()->canRegister());
    EXPECT_FALSE(tab()->registerButton()->isEnabled());
    tab()->registerDraft();
    EXPECT_EQ(stored().size(), 100u);
    EXPECT_EQ(tab()->draftSourceField()->text(), QStringLiteral("one too many")); // the draft is kept
    EXPECT_EQ(tab()->countLabel()->text(), QStringLiteral("100 of 100 entries"));

    // Removing one makes room again.
    QTest::mouseClick(tab()->rows().front().remove, Qt::LeftButton);
    EXPECT_EQ(stored().size(), 99u);
    EXPECT_TRUE(tab()->canRegister());
}

TEST_F(DictionaryTabTest, EditsAndRemovalsSaveTheWholeListInOrder) {
    UserDictionary::saveEntries({{QUuid::createUuid(), QStringLiteral("a"), QStringLiteral("A")},
                                 {QUuid::createUuid(), QStringLiteral("b"), QStringLiteral("B")},
                                 {QUuid::createUuid(), QStringLiteral("c"), QStringLiteral("C")}});
    ASSERT_EQ(tab()->rows().size(), 3u);
    QLineEdit* target = tab()->rows()[1].target;
    target->setFocus();
    QTest::keyClicks(target, QStringLiteral("ee"));
    EXPECT_EQ(stored()[1].target, QStringLiteral("Bee")); // saved after each keystroke
    tab()->rows()[0].source->setFocus();
    QTest::keyClick(tab()->rows()[0].source, Qt::Key_Backspace);
    EXPECT_EQ(stored()[0].source, QString()); // an emptied source stays as typed

    const QUuid removed = stored()[2].id;
    QTest::mouseClick(tab()->rows()[2].remove, Qt::LeftButton);
    ASSERT_EQ(stored().size(), 2u);
    EXPECT_NE(stored()[1].id, removed);
    EXPECT_EQ(stored()[1].target, QStringLiteral("Bee"));
    EXPECT_EQ(tab()->rows().size(), 2u);
}

TEST_F(DictionaryTabTest, LongEntriesShowTheirBeginning) {
    const QString source = QStringLiteral("きかいがくしゅうによるおんせいにんしきのせいどについてのけんきゅうほうこく");
    const QString target = QStringLiteral("A study report on the accuracy of speech recognition by machine learning");
    addDictionaryEntry(source, target);
    tab()->hide();
    tab()->show();
    ASSERT_EQ(tab()->rows().size(), 1u);
    for (QLineEdit* field : {tab()->rows()[0].source, tab()->rows()[0].target}) {
        ASSERT_GT(field->fontMetrics().horizontalAdvance(field->text()), field->width()) << "longer than its field";
        // The text's first character sits at the field's left edge, not scrolled away.
        EXPECT_LT(field->inputMethodQuery(Qt::ImCursorRectangle).toRect().left(), field->fontMetrics().averageCharWidth() * 2)
            << field->text().toStdString() << " cursor " << field->cursorPosition();
        EXPECT_EQ(field->toolTip(), field->text());
    }
}

TEST_F(DictionaryTabTest, ShowingTheTabReloadsWhatAnotherWriterStored) {
    tab();
    EXPECT_TRUE(tab()->entries().empty());
    addDictionaryEntry(QStringLiteral("from"), QStringLiteral("cli"));
    tab()->hide();
    tab()->show();
    ASSERT_EQ(tab()->entries().size(), 1u);
    EXPECT_EQ(tab()->rows()[0].source->text(), QStringLiteral("from"));
}

TEST_F(DictionaryTabTest, ChangesInTheTabKeepWhatTheCommandLineStoredWhileItWasOpen) {
    addDictionaryEntry(QStringLiteral("a"), QStringLiteral("A"));
    ASSERT_EQ(tab()->rows().size(), 1u);
    // `quillory dictionary add` (one locked read-modify-write) while the window is open.
    const auto cliAdd = [](const QString& source) {
        ASSERT_TRUE(UserDictionary::updateEntries([&](std::vector<UserDictionaryEntry>& entries) {
            entries.push_back({QUuid::createUuid(), source, source.toUpper()});
            return true;
        }));
    };
    cliAdd(QStringLiteral("cli"));

    QLineEdit* target = tab()->rows()[0].target;
    target->setFocus();
    QTest::keyClicks(target, QStringLiteral("x"));
    ASSERT_EQ(stored().size(), 2u) << "the tab wrote its own list over the command line's entry";
    EXPECT_EQ(stored()[0].target, QStringLiteral("Ax"));
    EXPECT_EQ(stored()[1].source, QStringLiteral("cli"));
    ASSERT_EQ(tab()->rows().size(), 2u); // the tab shows the merged list
    // Typing goes on in the same field.
    QTest::keyClicks(tab()->rows()[0].target, QStringLiteral("y"));
    EXPECT_EQ(stored()[0].target, QStringLiteral("Axy"));
    EXPECT_EQ(tab()->rows()[0].target->text(), QStringLiteral("Axy"));

    cliAdd(QStringLiteral("second"));
    draft(QStringLiteral("tab"), QStringLiteral("TAB"));
    tab()->registerDraft();
    cliAdd(QStringLiteral("third"));
    QTest::mouseClick(tab()->rows()[0].remove, Qt::LeftButton);
    QStringList sources;
    for (const auto& e : stored()) {
        sources << e.source;
    }
    EXPECT_EQ(sources, (QStringList{"cli", "second", "tab", "third"}));
    EXPECT_EQ(tab()->entries(), stored());
    EXPECT_TRUE(tab()->errorLabel()->isHidden());
}

TEST_F(DictionaryTabTest, AStoredListThatCannotBeReadIsNeitherOverwrittenNorLosesTheDraft) {
    tab();
    DefaultsStore::standard().setData(QString::fromLatin1(UserDictionary::storageKey),
                                      "[{\"source\":\"no id\"}]");
    draft(QStringLiteral("word"), QStringLiteral("WORD"));
    tab()->registerDraft();
    EXPECT_EQ(DefaultsStore::standard().dataValue(QString::fromLatin1(UserDictionary::storageKey)),
              QByteArray("[{\"source\":\"no id\"}]"));
    EXPECT_EQ(tab()->draftSourceField()->text(), QStringLiteral("word"));
    EXPECT_FALSE(tab()->errorLabel()->isHidden());
    EXPECT_TRUE(tab()->errorLabel()->text().contains(QStringLiteral("can't be read")))
        << tab()->errorLabel()->text().toStdString();
}

TEST_F(DictionaryTabTest, EverythingIsLockedWhileADictationRecordsOrProcesses) {
    addDictionaryEntry(QStringLiteral("a"), QStringLiteral("b"));
    draft(QStringLiteral("new"), QString());
    auto locked = [&] {
        return !tab()->draftSourceField()->isEnabledTo(tab()) && !tab()->registerButton()->isEnabled() &&
               !tab()->rows()[0].remove->isEnabledTo(tab()) && !tab()->rows()[0].source->isEnabledTo(tab());
    };
    EXPECT_FALSE(locked());
    startRecordingByHotkey();
    EXPECT_TRUE(tab()->busy());
    EXPECT_TRUE(locked());
    tab()->registerDraft();
    EXPECT_EQ(stored().size(), 1u);
    release(); // processing
    EXPECT_TRUE(locked());
    finalText(QStringLiteral("done"));
    ASSERT_TRUE(state->status().is(AppStatus::Kind::idle));
    EXPECT_FALSE(locked());
    EXPECT_TRUE(tab()->registerButton()->isEnabled());
}

} // namespace
