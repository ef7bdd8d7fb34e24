// The formatted-string builder and the per-watcher debug trace.
#include <windows.h>

#include <gtest/gtest.h>

#include <string>

#include "diag/format.h"
#include "diag/handles.h"
#include "diag/trace.h"
#include "diag/trace_file.h"
#include "standin/host.h"
#include "support/temp_account.h"
#include "support/trace_file_lines.h"
#include "watch/session.h"

using testing_support::ReadFileBytes;
using testing_support::TempAccount;
using testing_support::TraceFileEntries;
using testing_support::TraceFileEntry;
using testing_support::WriteFileBytes;

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

// ---- the trace file ----------------------------------------------------------

// Waits until the file holds `text`: the writer appends on its own thread.
bool WaitForFileText(const std::string& path, const std::string& text)
{
    return standin::WaitUntil([&] { return ReadFileBytes(path).find(text) != std::string::npos; }, 10000);
}

unsigned long long FileSize(const std::string& path)
{
    WIN32_FILE_ATTRIBUTE_DATA data;
    if (!GetFileAttributesExA(path.c_str(), GetFileExInfoStandard, &data))
        return 0;
    return (static_cast<unsigned long long>(data.nFileSizeHigh) << 32) | data.nFileSizeLow;
}

TEST(TraceFile, TurnsOverBeyondOneMebibyteReplacingTheOlderFile)
{
    TempAccount folder;
    const std::string path = folder.Folder() + "qvpush.log";
    // A file left by an earlier run, 100 bytes short of the limit.
    const std::string before = std::string(TraceFileLimit - 102, 'x') + "\r\n";
    WriteFileBytes(path, before);
    WriteFileBytes(path + ".1", "an older file\r\n");
    std::string stampBefore = testing_support::LocalStamp();

    // 24 bytes of stamp, 74 of text, CR LF: the file is then exactly 1 MiB.
    const std::string filling = "[01]" + std::string(70, 'f');
    TraceFile file;
    file.Open(path);
    file.Append(filling.c_str());
    file.Append("[01]one byte too many");
    file.Close();
    // Sizes only: a reader holding the file open could keep the writer from
    // renaming it.
    ASSERT_TRUE(standin::WaitUntil([&] { return FileSize(path + ".1") == TraceFileLimit && FileSize(path) > 0; },
                                   10000))
        << "the file did not turn over: " << FileSize(path + ".1") << " and " << FileSize(path) << " bytes";
    std::string stampAfter = testing_support::LocalStamp();

    std::string older = ReadFileBytes(path + ".1");
    EXPECT_EQ(older.size(), TraceFileLimit);
    EXPECT_EQ(older.compare(0, before.size(), before), 0) << "the file turned over too soon";
    std::vector<TraceFileEntry> turned = TraceFileEntries(older.substr(before.size()));
    ASSERT_EQ(turned.size(), 1u);
    EXPECT_EQ(turned[0].text, filling + "\r\n");

    std::vector<TraceFileEntry> fresh = TraceFileEntries(ReadFileBytes(path));
    ASSERT_EQ(fresh.size(), 1u);
    EXPECT_EQ(fresh[0].text, "[01]one byte too many\r\n");
    // Local time: the stamps sort like the times they show.
    for (const std::string& stamp : {turned[0].stamp, fresh[0].stamp}) {
        EXPECT_GE(stamp, stampBefore);
        EXPECT_LE(stamp, stampAfter);
    }
}

TEST(TraceFile, AFullQueueDropsLinesAndTheNextLineWrittenSaysHowMany)
{
    TempAccount folder;
    const std::string path = folder.Folder() + "qvpush.log";
    UniqueHandle gate(CreateEventA(NULL, TRUE, FALSE, NULL));
    ASSERT_TRUE(gate.Valid());
    HoldTraceFileWriters(gate.Get());

    const size_t dropped = 37;
    TraceFile file;
    file.Open(path);
    for (size_t i = 0; i < TraceQueueLines + dropped; ++i)
        file.Append(("[01]line " + std::to_string(i)).c_str());
    SetEvent(gate.Get());
    HoldTraceFileWriters(NULL);
    const std::string last = "[01]line " + std::to_string(TraceQueueLines - 1) + "\r\n";
    ASSERT_TRUE(WaitForFileText(path, last)) << "the queued lines never came";
    file.Append("[01]after the gap");
    file.Close();
    ASSERT_TRUE(WaitForFileText(path, "[01]after the gap")) << "the line after the gap never came";

    std::vector<TraceFileEntry> entries = TraceFileEntries(ReadFileBytes(path));
    ASSERT_EQ(entries.size(), TraceQueueLines + 2);
    for (size_t i = 0; i < TraceQueueLines; ++i)
        ASSERT_EQ(entries[i].text, "[01]line " + std::to_string(i) + "\r\n");
    EXPECT_EQ(entries[TraceQueueLines].text, "37 trace lines dropped\r\n");
    EXPECT_EQ(entries[TraceQueueLines + 1].text, "[01]after the gap\r\n");
    for (const TraceFileEntry& entry : entries)
        EXPECT_FALSE(entry.stamp.empty()) << entry.text;
}

} // namespace
