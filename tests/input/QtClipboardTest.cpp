// The Qt clipboard behind the paste injector, on virtual time: the change counter, the
// multi-format snapshot and the restore 0.6 s after the paste.
#include "Input/TextInjector.h"
#include "Input/x11/QtClipboard.h"
#include "support/CoreTest.h"

#include <QClipboard>
#include <QGuiApplication>
#include <QMimeData>

#include <gtest/gtest.h>

using namespace quillory;
using namespace quillory::input;

namespace {

class Trusted : public InjectionTrust {
public:
    bool isTrusted() const override { return true; }
};

class RecordingKeys : public KeyEventPoster {
public:
    std::vector<KeyEvent> posted;
    bool createEventSource() override { return true; }
    bool createEvent(const KeyEvent&) override { return true; }
    void post(const KeyEvent& e) override { posted.push_back(e); }
};

const QByteArray kBinary("\x00\x01\xfe\xff", 4);

class QtClipboard : public quillory::testing::CoreTest {
protected:
    void SetUp() override {
        CoreTest::SetUp();
        clipboard()->clear();
    }
    static QClipboard* clipboard() { return QGuiApplication::clipboard(); }
    /// Another application's copy with three formats.
    static void copyMultiFormat() {
        auto* data = new QMimeData;
        data->setText(QStringLiteral("before"));
        data->setHtml(QStringLiteral("<b>before</b>"));
        data->setData(QStringLiteral("application/x-quillory-test"), kBinary);
        clipboard()->setMimeData(data);
    }
    static QMap<QString, QByteArray> contents() {
        QMap<QString, QByteArray> out;
        if (const QMimeData* data = clipboard()->mimeData()) {
            for (const QString& f : data->formats()) {
                out.insert(f, data->data(f));
            }
        }
        return out;
    }

    std::shared_ptr<input::QtClipboard> clipboard_ = std::make_shared<input::QtClipboard>();
    std::shared_ptr<RecordingKeys> keys_ = std::make_shared<RecordingKeys>();
    ClipboardPasteInjector injector_{std::make_shared<Trusted>(), clipboard_, keys_};
};

TEST_F(QtClipboard, EveryWriteCountsOnceAndEveryObservedChangeCounts) {
    const qint64 start = clipboard_->changeCount();
    EXPECT_TRUE(clipboard_->setString("one", Clipboard::stringType));
    EXPECT_EQ(clipboard_->changeCount(), start + 1);
    EXPECT_EQ(clipboard_->clearContents(), start + 2);
    EXPECT_TRUE(clipboard_->writeItems({ClipboardItem{{{"text/plain", QString("two")}}}}));
    EXPECT_EQ(clipboard_->changeCount(), start + 3);
    EXPECT_EQ(clipboard()->text(), "two");

    // Someone else writes: we see it.
    clipboard()->setText(QStringLiteral("theirs"));
    EXPECT_EQ(clipboard_->changeCount(), start + 4);
}

TEST_F(QtClipboard, SnapshotIsADeepMultiFormatCopyThatWritesBackAsOneItem) {
    copyMultiFormat();
    // A protocol target that some owner lists among its formats is no data.
    const_cast<QMimeData*>(clipboard()->mimeData())->setData(QStringLiteral("TARGETS"), "junk");

    const auto snapshot = ClipboardPasteInjector::captureSnapshot(*clipboard_).value();
    ASSERT_EQ(snapshot.size(), 1u);
    QStringList types;
    for (const auto& [type, value] : snapshot[0].entries) {
        types << type;
    }
    EXPECT_EQ(types, (QStringList{"text/plain", "text/html", "application/x-quillory-test"}));

    // The copy survives the clipboard changing under it.
    clipboard()->setText(QStringLiteral("other"));
    ASSERT_TRUE(clipboard_->writeItems(snapshot));
    const auto restored = contents();
    EXPECT_EQ(restored.value("text/plain"), "before");
    EXPECT_EQ(restored.value("text/html"), "<b>before</b>");
    EXPECT_EQ(restored.value("application/x-quillory-test"), kBinary);
    EXPECT_FALSE(restored.contains("TARGETS"));

    // Several items (another platform's shape) merge into one; the first of a type wins.
    ASSERT_TRUE(clipboard_->writeItems({ClipboardItem{{{"text/plain", QString("a")}}},
                                         ClipboardItem{{{"text/plain", QString("b")}, {"text/html", QByteArray("<i>b</i>")}}}}));
    EXPECT_EQ(clipboard()->text(), "a");
    EXPECT_EQ(contents().value("text/html"), "<i>b</i>");

    // An empty clipboard gives no items.
    clipboard_->clearContents();
    EXPECT_TRUE(ClipboardPasteInjector::captureSnapshot(*clipboard_).value().empty());
}

TEST_F(QtClipboard, AReadOfWhatWeWroteIsReportedOnceButOurOwnSnapshotIsNoRead) {
    int fetches = 0;
    EXPECT_TRUE(clipboard_->reportsFetches());
    ASSERT_TRUE(clipboard_->setString("served", Clipboard::stringType));
    clipboard_->whenFetched([&] { ++fetches; });
    ASSERT_TRUE(ClipboardPasteInjector::captureSnapshot(*clipboard_).has_value());
    EXPECT_EQ(fetches, 0);
    EXPECT_EQ(clipboard()->mimeData()->data("text/plain"), "served"); // as the target reads it
    EXPECT_EQ(clipboard()->text(), "served");
    EXPECT_EQ(fetches, 1);
}

TEST_F(QtClipboard, PasteThenRestoreOnceTheTargetReadUnlessSomeoneCopied) {
    copyMultiFormat();
    ASSERT_TRUE(injector_.inject(QStringLiteral("dictated")));
    ASSERT_EQ(keys_->posted.size(), 2u);
    EXPECT_EQ(keys_->posted[0], (KeyEvent{9, true, 0x100000}));
    EXPECT_EQ(keys_->posted[1], (KeyEvent{9, false, 0x100000}));

    clock_.advance(seconds(2));
    EXPECT_EQ(clipboard()->mimeData()->text(), "dictated"); // the target reads late
    clock_.advance(seconds(0.59));
    EXPECT_EQ(clipboard()->text(), "dictated");
    clock_.advance(seconds(0.02));
    EXPECT_EQ(contents().value("text/html"), "<b>before</b>");
    EXPECT_EQ(contents().value("application/x-quillory-test"), kBinary);
    EXPECT_EQ(clipboard()->text(), "before");

    // The user copies while the paste is pending: their copy stays.
    ASSERT_TRUE(injector_.inject(QStringLiteral("again")));
    clock_.advance(seconds(0.3));
    clipboard()->setText(QStringLiteral("the user's copy"));
    clock_.advance(seconds(0.5));
    EXPECT_EQ(clipboard()->text(), "the user's copy");

    // Empty before: empty after.
    clipboard()->clear();
    ASSERT_TRUE(injector_.inject(QStringLiteral("x")));
    clock_.advance(ClipboardPasteInjector::kFetchWaitLimit);
    EXPECT_TRUE(contents().isEmpty());
}


} // namespace
