#include "Cli/Cli.h"

#include "support/CoreTest.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>

using namespace quillory;
using quillory::testing::CoreTest;

namespace {

class HotkeyCommandTest : public CoreTest {
protected:
    int run(const QStringList& args) {
        out_.clear();
        err_.clear();
        QTextStream o(&out_);
        QTextStream e(&err_);
        cli::Io io{o, e};
        const int status = cli::run(args, io);
        o.flush();
        e.flush();
        return status;
    }
    QString out_;
    QString err_;
};

TEST_F(HotkeyCommandTest, ShowNamesThePhysicalKeysAsTheyCanBeSetBack) {
    ASSERT_EQ(run({"settings", "set", "quillory.linux.modifierKeys", R"({"rightCommand":["MENU"],"fn":[97]})", "--data"}), 0);
    ASSERT_EQ(run({"hotkey", "show"}), 0);
    const QJsonObject keys = QJsonDocument::fromJson(out_.toUtf8()).object()["modifierKeys"].toObject();
    EXPECT_EQ(keys["rightCommand"].toArray(), QJsonArray{"MENU"});
    EXPECT_EQ(keys["fn"].toArray(), QJsonArray{97});
    EXPECT_EQ(keys["leftOption"].toArray(), QJsonArray{"LALT"}) << "slots not set keep their defaults";

    EXPECT_EQ(run({"hotkey", "listen"}), 2);
    EXPECT_TRUE(err_.contains("hotkey show | monitor"));
}

TEST_F(HotkeyCommandTest, MonitorWithoutADisplayFailsWithAMessage) {
    const QByteArray display = qgetenv("DISPLAY");
    const QByteArray wayland = qgetenv("WAYLAND_DISPLAY");
    qunsetenv("DISPLAY");
    qunsetenv("WAYLAND_DISPLAY");
    EXPECT_EQ(run({"hotkey", "monitor"}), 1);
    EXPECT_TRUE(err_.contains("DISPLAY")) << err_.toStdString();
    EXPECT_TRUE(out_.isEmpty());
    if (!display.isEmpty()) {
        qputenv("DISPLAY", display);
    }
    if (!wayland.isEmpty()) {
        qputenv("WAYLAND_DISPLAY", wayland);
    }
}

} // namespace
