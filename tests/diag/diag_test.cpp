// The formatted-string builder and the per-watcher debug trace.
#include <windows.h>

#include <gtest/gtest.h>

#include <string>

#include "diag/format.h"
#include "diag/trace.h"
#include "standin/host.h"
#include "watch/session.h"

namespace {

TEST(FormatString, ReplacesTheStringWithTheFormattedText)
{
    std::string out = "previous contents";
    FormatString(out, "%d", 143);
    EXPECT_EQ(out, "143");
    FormatString(out, "");
    EXPECT_EQ(out, "");
    FormatString(out, "C%03X %s\r\n", 0xFFF & 4097, "IDLE");
    EXPECT_EQ(out, "C001 IDLE\r\n");
}

TEST(FormatString, TextsOfAnyLengthComeOutWhole)
{
    // 1000 fills the first buffer exactly (written without a terminating
    // zero); 1001 and 5000 need larger buffers.
    for (size_t length : {999u, 1000u, 1001u, 1999u, 2000u, 5000u, 70000u}) {
        std::string text(length, 'x');
        text[length - 1] = 'y';
        std::string out;
        FormatString(out, "%s", text.c_str());
        EXPECT_EQ(out, text) << "length " << length;
    }
}

class TraceTest : public ::testing::Test {
protected:
    // A watcher's session: the trace prints its serial when its debug
    // setting is on.
    Session watcher;
    size_t mark = 0;

    void SetUp() override
    {
        standin::CaptureTrace();
        mark = standin::LogSize();
        watcher.settings.debug = 1;
    }
    std::vector<std::string> Lines() const
    {
        std::vector<std::string> all = standin::LogLines();
        std::vector<std::string> lines;
        for (size_t i = mark; i < all.size(); ++i)
            if (all[i].find(" trace ") != std::string::npos)
                lines.push_back(all[i].substr(all[i].find(" trace ") + 7));
        return lines;
    }
};

TEST_F(TraceTest, PrefixesTheSerialWithAtLeastTwoDigits)
{
    watcher.serial = 7;
    Trace(&watcher, "thread end");
    watcher.serial = 100;
    Trace(&watcher, "thread end");
    watcher.serial = 3;
    Trace(&watcher, "Window Count=%d", 2);
    EXPECT_EQ(Lines(), (std::vector<std::string>{"[07]thread end", "[100]thread end", "[03]Window Count=2"}));
}

TEST_F(TraceTest, WritesNothingWhenDebugIsOff)
{
    watcher.serial = 1;
    watcher.settings.debug = 0;
    Trace(&watcher, "thread end");
    watcher.settings.debug = 5; // any non-zero value is on
    Trace(&watcher, "IDLE mode");
    EXPECT_EQ(Lines(), std::vector<std::string>{"[01]IDLE mode"});
}

TEST_F(TraceTest, WireTextIsWrittenAsItIsInOneLine)
{
    watcher.serial = 1;
    std::string received = "* 5 EXISTS %s %d %n";
    Trace(&watcher, "Recv:%s", received.c_str());
    Trace(&watcher, "%s", "C002 SELECT INBOX\r\n");
    // Longer than the first 1000-byte buffer, and than 4000 bytes.
    std::string longLine(3000, 'z');
    Trace(&watcher, "Recv:%s", longLine.c_str());
    std::string longerLine = std::string(4999, 'w') + "!";
    Trace(&watcher, "Recv:%s", longerLine.c_str());
    std::vector<std::string> lines = Lines();
    ASSERT_EQ(lines.size(), 4u);
    EXPECT_EQ(lines[0], "[01]Recv:* 5 EXISTS %s %d %n");
    EXPECT_EQ(lines[1], "[01]C002 SELECT INBOX\r\n") << "a command line keeps its CR LF";
    EXPECT_EQ(lines[2], "[01]Recv:" + longLine) << "a line of " << lines[2].size() << " bytes";
    EXPECT_EQ(lines[3], "[01]Recv:" + longerLine) << "a line of " << lines[3].size() << " bytes";
}

} // namespace
