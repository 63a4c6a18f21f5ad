// `quillory paste` without a usable display: usage errors and a clear refusal, never a crash.
#include "Cli/Cli.h"
#include "support/CoreTest.h"

#include <gtest/gtest.h>

using namespace quillory;

namespace {

struct Result {
    int status;
    QString out;
    QString err;
};

Result paste(const QStringList& args) {
    QString out, err;
    QTextStream o(&out), e(&err);
    cli::Io io{o, e};
    const int status = cli::run(QStringList{"paste"} + args, io);
    o.flush();
    e.flush();
    return {status, out, err};
}

class PasteCommand : public quillory::testing::CoreTest {};

TEST_F(PasteCommand, UsageErrorsAndNoDisplay) {
    EXPECT_TRUE(cli::commandNeedsGuiApplication("paste"));
    EXPECT_FALSE(cli::commandNeedsGuiApplication("settings"));

    EXPECT_EQ(paste({}).status, cli::Usage);
    EXPECT_EQ(paste({"a", "b"}).status, cli::Usage);
    EXPECT_EQ(paste({"--delay", "soon", "a"}).status, cli::Usage);
    EXPECT_EQ(paste({"--delay", "-1", "a"}).status, cli::Usage);
    EXPECT_EQ(paste({"--bogus", "a"}).status, cli::Usage);

    // This binary has a graphical application but no X display: refused with the reason.
    const Result r = paste({"text"});
    EXPECT_EQ(r.status, cli::Failure);
    EXPECT_TRUE(r.err.startsWith("Cannot paste: no display")) << r.err.toStdString();
    EXPECT_TRUE(r.out.isEmpty());
}

} // namespace
