// The wire format alone, bytes in and values out: response lines assembled
// from received bytes (literals skipped, however the bytes are cut), and
// lines decoded into responses whose words are read in any case.
#include <gtest/gtest.h>

#include <limits.h>
#include <stdint.h>

#include <string>
#include <vector>

#include "imap/wire.h"

namespace {

// ---- line assembly ---------------------------------------------------------

struct Assembled {
    std::vector<std::string> lines;
    bool started = false; // part of a line, or a literal, is still awaited
};

// Feeds the stream as receives that end at the given offsets (sorted).
Assembled Feed(const std::string& stream, const std::vector<size_t>& cuts, PartialLine& partial)
{
    Assembled result;
    size_t start = 0;
    for (size_t i = 0; i <= cuts.size(); ++i) {
        size_t end = i < cuts.size() ? cuts[i] : stream.size();
        std::string receive = stream.substr(start, end - start);
        size_t pos = 0;
        std::string line = "stale";
        while (TakeLine(partial, receive.data(), receive.size(), &pos, &line))
            result.lines.push_back(line);
        EXPECT_EQ(pos, receive.size());
        start = end;
    }
    result.started = LineStarted(partial);
    return result;
}

Assembled Feed(const std::string& stream, const std::vector<size_t>& cuts = {})
{
    PartialLine partial;
    return Feed(stream, cuts, partial);
}

struct AssemblyCase {
    const char* name;
    std::string stream;
    std::vector<std::string> lines;
    bool started; // a line or literal left unfinished at the end
};

const std::string NineExists = "* 9 EXISTS\r\n";

TEST(LineAssembly, LiteralsAreSkippedWhereverTheReceivesEnd)
{
    const AssemblyCase cases[] = {
        {"exists inside a literal", "* 1 FETCH (BODY[] {14}\r\n\r\n" + NineExists + ")\r\n* 2 EXISTS\r\n",
         {"* 1 FETCH (BODY[] {14})", "* 2 EXISTS"}, false},
        {"a literal of no bytes", "* 1 FETCH (BODY[] {0}\r\n)\r\n", {"* 1 FETCH (BODY[] {0})"}, false},
        {"the line ends right after the literal", "* OK {12}\r\n" + NineExists + "\r\nC001 OK\r\n",
         {"* OK {12}", "C001 OK"}, false},
        {"the plus form and a bare LF", "* 1 X {3+}\nabc\r\nC001 OK\r\n", {"* 1 X {3+}", "C001 OK"}, false},
        {"two literals in one line", "* 1 FETCH (A {2}\r\n\r\n B {1}\r\n\n)\r\n", {"* 1 FETCH (A {2} B {1})"}, false},
        {"a brace opened twice", "* 1 X {{3}\r\nabc\r\n", {"* 1 X {{3}"}, false},
        {"leading zeros", "* 1 X {003}\r\nabc\r\n", {"* 1 X {003}"}, false},
        {"no digits", "* 1 X {}\r\n{+}\r\n", {"* 1 X {}", "{+}"}, false},
        {"text after the brace", "* 1 X {3}x\r\nab\r\n", {"* 1 X {3}x", "ab"}, false},
        {"two CRs", "* 1 X {3}\r\r\nab\r\n", {"* 1 X {3}", "ab"}, false},
        {"a space inside", "* 1 X { 3}\r\n{3 }\r\n", {"* 1 X { 3}", "{3 }"}, false},
        {"a control byte inside", "* 1 X {3\x01}\r\nab\r\n", {"* 1 X {3}", "ab"}, false},
        {"a literal still coming", "* 1 X {5}\r\nab", {}, true},
        {"a line still coming after its literal", "* 1 X {2}\r\nab)", {}, true},
        {"an announcement still waiting for its LF", "* 1 X {2}\r", {}, true},
    };
    for (const AssemblyCase& c : cases) {
        SCOPED_TRACE(c.name);
        Assembled whole = Feed(c.stream);
        EXPECT_EQ(whole.lines, c.lines);
        EXPECT_EQ(whole.started, c.started);
        // Cut once at every position, and into single bytes.
        for (size_t cut = 0; cut <= c.stream.size(); ++cut) {
            Assembled pieces = Feed(c.stream, {cut});
            EXPECT_EQ(pieces.lines, c.lines) << "cut at " << cut;
            EXPECT_EQ(pieces.started, c.started) << "cut at " << cut;
        }
        std::vector<size_t> everyByte;
        for (size_t cut = 1; cut < c.stream.size(); ++cut)
            everyByte.push_back(cut);
        EXPECT_EQ(Feed(c.stream, everyByte).lines, c.lines) << "byte by byte";
    }
}

TEST(LineAssembly, HugeAnnouncedSizesHideEverythingAfterThemWithoutOverflow)
{
    std::string many;
    for (int i = 0; i < 1000; ++i)
        many += NineExists;
    const char* sizes[] = {"99999999999999999999999", "18446744073709551616", "18446744073709551615",
                           "4294967297"};
    for (const char* size : sizes) {
        SCOPED_TRACE(size);
        PartialLine partial;
        Assembled result = Feed("* 1 FETCH (BODY[] {" + std::string(size) + "}\r\n" + many, {100, 5000}, partial);
        EXPECT_TRUE(result.lines.empty());
        EXPECT_TRUE(result.started);
        EXPECT_EQ(partial.text, "* 1 FETCH (BODY[] {" + std::string(size) + "}") << "a literal's bytes were kept";
        // Forgetting the partial line forgets the literal too.
        ForgetPartialLine(partial);
        EXPECT_FALSE(LineStarted(partial));
        EXPECT_EQ(Feed("C001 OK\r\n", {}, partial).lines, std::vector<std::string>{"C001 OK"});
    }
}

TEST(LineAssembly, AnAnnouncementPastTheLengthCapStillStartsALiteral)
{
    std::string head = "* 1 FETCH " + std::string(MaxLineBytes, 'A');
    Assembled result = Feed(head + " {12}\r\n" + NineExists + ")\r\n* 2 EXISTS\r\n", {head.size() + 3});
    ASSERT_EQ(result.lines.size(), 2u);
    EXPECT_EQ(result.lines[0], head.substr(0, MaxLineBytes));
    EXPECT_EQ(result.lines[1], "* 2 EXISTS");
}

// ---- the decoder -------------------------------------------------------------

struct DecodeCase {
    std::string line;
    ResponseKind kind;
    std::string tag;
    ResponseStatus status;
    std::string code;
    std::string codeArguments;
    bool numbered;
    int number;
    std::string word;
    std::string text;
};

TEST(ResponseDecoder, ReadsEachFormWithItsWordsInAnyCase)
{
    const DecodeCase cases[] = {
        // Tagged: OK, NO, BAD in any case; any other second word is another status.
        {"C001 OK LOGIN completed", ResponseTagged, "C001", StatusOk, "", "", false, 0, "", "LOGIN completed"},
        {"C001 ok done", ResponseTagged, "C001", StatusOk, "", "", false, 0, "", "done"},
        {"C001 oK", ResponseTagged, "C001", StatusOk, "", "", false, 0, "", ""},
        {"C002 No [AuthenticationFailed] Wrong", ResponseTagged, "C002", StatusNo, "AUTHENTICATIONFAILED", "",
         false, 0, "", "Wrong"},
        {"c003 bad [parse] what", ResponseTagged, "c003", StatusBad, "PARSE", "", false, 0, "", "what"},
        {"C004 OK [CAPABILITY IMAP4rev1 IDLE] in", ResponseTagged, "C004", StatusOk, "CAPABILITY",
         "IMAP4REV1 IDLE", false, 0, "", "in"},
        {"C005 OK [READ-WRITE", ResponseTagged, "C005", StatusOk, "", "", false, 0, "", "[READ-WRITE"},
        {"C006 OKAY", ResponseTagged, "C006", StatusOther, "", "", false, 0, "", ""},
        {"C007 BYE now", ResponseTagged, "C007", StatusOther, "", "", false, 0, "", "now"},
        {"C008", ResponseTagged, "C008", StatusOther, "", "", false, 0, "", ""},
        {"a.1] OK", ResponseTagged, "a.1]", StatusOk, "", "", false, 0, "", ""},
        // Untagged status.
        {"* OK [ALERT] 3 EXISTS in your box", ResponseUntagged, "", StatusOk, "ALERT", "", false, 0, "",
         "3 EXISTS in your box"},
        {"* ok ready", ResponseUntagged, "", StatusOk, "", "", false, 0, "", "ready"},
        {"* bye Going away", ResponseUntagged, "", StatusBye, "", "", false, 0, "", "Going away"},
        {"* Preauth [capability imap4rev1] hi", ResponseUntagged, "", StatusPreauth, "CAPABILITY", "IMAP4REV1",
         false, 0, "", "hi"},
        {"* no [Unavailable] later", ResponseUntagged, "", StatusNo, "UNAVAILABLE", "", false, 0, "", "later"},
        // Untagged data, with a number or without.
        {"* 3 EXISTS", ResponseUntagged, "", StatusNone, "", "", true, 3, "EXISTS", ""},
        {"* 3 exists", ResponseUntagged, "", StatusNone, "", "", true, 3, "EXISTS", ""},
        {"* 3 EXISTS now", ResponseUntagged, "", StatusNone, "", "", true, 3, "EXISTS", "now"},
        {"* 12 Fetch (FLAGS (\\Seen))", ResponseUntagged, "", StatusNone, "", "", true, 12, "FETCH",
         "(FLAGS (\\Seen))"},
        {"* 2147483647 RECENT", ResponseUntagged, "", StatusNone, "", "", true, INT_MAX, "RECENT", ""},
        {"* 99999999999999999999999 EXISTS", ResponseUntagged, "", StatusNone, "", "", true, INT_MAX, "EXISTS", ""},
        {"* 0 EXPUNGE", ResponseUntagged, "", StatusNone, "", "", true, 0, "EXPUNGE", ""},
        {"* capability IMAP4rev1 IDLE", ResponseUntagged, "", StatusNone, "", "", false, 0, "CAPABILITY",
         "IMAP4rev1 IDLE"},
        {"*  3 RECENT", ResponseUntagged, "", StatusNone, "", "", false, 0, "", "3 RECENT"},
        {"* -3 EXISTS", ResponseUntagged, "", StatusNone, "", "", false, 0, "-3", "EXISTS"},
        {"*", ResponseUntagged, "", StatusNone, "", "", false, 0, "", ""},
        {"*OK ready", ResponseUntagged, "", StatusNone, "", "", false, 0, "", "OK ready"},
        // Continuations.
        {"+ idling", ResponseContinuation, "", StatusNone, "", "", false, 0, "", "idling"},
        {"+", ResponseContinuation, "", StatusNone, "", "", false, 0, "", ""},
        {"+go ahead", ResponseContinuation, "", StatusNone, "", "", false, 0, "", "go ahead"},
        // Neither: no tag where one should be.
        {"", ResponseUnknown, "", StatusNone, "", "", false, 0, "", ""},
        {" C001 OK", ResponseUnknown, "", StatusNone, "", "", false, 0, "", ""},
        {"(C001) OK", ResponseUnknown, "", StatusNone, "", "", false, 0, "", ""},
        {"C0{1 OK", ResponseUnknown, "", StatusNone, "", "", false, 0, "", ""},
        {"C\x01" "01 OK", ResponseUnknown, "", StatusNone, "", "", false, 0, "", ""},
    };
    for (const DecodeCase& c : cases) {
        SCOPED_TRACE("\"" + c.line + "\"");
        Response r = DecodeResponse(c.line);
        EXPECT_EQ(r.kind, c.kind);
        EXPECT_EQ(r.tag, c.tag);
        EXPECT_EQ(r.status, c.status);
        EXPECT_EQ(r.code, c.code);
        EXPECT_EQ(r.codeArguments, c.codeArguments);
        EXPECT_EQ(r.numbered, c.numbered);
        EXPECT_EQ(r.number, c.number);
        EXPECT_EQ(r.word, c.word);
        EXPECT_EQ(r.text, c.text);
    }
}

struct CountCase {
    const char* line;
    const char* word;
    bool count;
};

TEST(ResponseDecoder, ExistsRecentAndExpungeOnlyAsUntaggedCounts)
{
    const CountCase cases[] = {
        {"* 3 EXISTS", "EXISTS", true},
        {"* 3 eXists", "EXISTS", true},
        {"* 0 EXISTS", "EXISTS", true},
        {"* 3 EXISTS now", "EXISTS", false},
        {"* OK [ALERT] 3 EXISTS", "EXISTS", false},
        {"* OK 3 EXISTS", "EXISTS", false},
        {"* 3 FETCH (EXISTS)", "EXISTS", false},
        {"* EXISTS", "EXISTS", false},
        {"* x EXISTS", "EXISTS", false},
        {"*3 EXISTS", "EXISTS", false},
        {"*  3 EXISTS", "EXISTS", false},
        {"* 3  EXISTS", "EXISTS", false},
        {"C001 3 EXISTS", "EXISTS", false},
        {"3 EXISTS", "EXISTS", false},
        {"+ 3 EXISTS", "EXISTS", false},
        {"* 3 EXISTSX", "EXISTS", false},
        {"* 3 RECENT", "EXISTS", false},
        {"* 3 recent", "RECENT", true},
        {"* 4 Expunge", "EXPUNGE", true},
        {"* 4 EXPUNGE 5", "EXPUNGE", false},
    };
    for (const CountCase& c : cases)
        EXPECT_EQ(IsCountOf(DecodeResponse(c.line), c.word), c.count) << c.line << " as " << c.word;
}

TEST(ResponseDecoder, CapabilitiesFromACodeOrTheirOwnResponse)
{
    typedef std::vector<std::string> Names;
    const struct {
        const char* line;
        bool code;
        bool data;
        Names names;
    } cases[] = {
        {"* OK [CAPABILITY IMAP4rev1  IDLE] ready", true, false, Names{"IMAP4REV1", "IDLE"}},
        {"* preauth [capability imap4rev1 starttls] hi", true, false, Names{"IMAP4REV1", "STARTTLS"}},
        {"C001 ok [Capability IMAP4rev1 IDLE] in", true, false, Names{"IMAP4REV1", "IDLE"}},
        {"C001 NO [CAPABILITY IDLE] no", false, false, Names{}},
        {"* BYE [CAPABILITY IDLE] bye", false, false, Names{}},
        {"* OK [CAPABILITYX IDLE] x", false, false, Names{}},
        {"* OK [CAPABILITY IDLE", false, false, Names{}},
        {"* OK CAPABILITY IDLE", false, false, Names{}},
        {"* capability imap4rev1 StartTLS", false, true, Names{"IMAP4REV1", "STARTTLS"}},
        {"* CAPABILITY", false, true, Names{}},
        {"* 1 CAPABILITY IDLE", false, false, Names{}},
        {"C001 CAPABILITY IDLE", false, false, Names{}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.line);
        Response r = DecodeResponse(c.line);
        Names fromCode(1, "stale");
        Names fromData(1, "stale");
        EXPECT_EQ(CapabilityCode(r, &fromCode), c.code);
        EXPECT_EQ(CapabilityData(r, &fromData), c.data);
        if (c.code) {
            EXPECT_EQ(fromCode, c.names);
        }
        if (c.data) {
            EXPECT_EQ(fromData, c.names);
        }
    }
}

TEST(ResponseDecoder, OnlyANoToLoginSaysThePasswordIsWrong)
{
    const struct {
        const char* line;
        bool byeSeen;
        LoginAnswer answer;
    } cases[] = {
        {"C001 OK logged in", false, LoginAccepted},
        {"C001 ok logged in", false, LoginAccepted},
        {"C001 Ok [CAPABILITY IMAP4rev1] in", true, LoginAccepted},
        {"C001 NO wrong", false, LoginRejected},
        {"C001 no [AUTHENTICATIONFAILED] wrong", false, LoginRejected},
        {"C001 NO wrong", true, LoginRefusedForNow},
        {"C001 no [unavailable] later", false, LoginRefusedForNow},
        {"C001 NO [Limit] later", false, LoginRefusedForNow},
        {"C001 NO [INUSE] later", false, LoginRefusedForNow},
        {"C001 No [PrivacyRequired] use TLS", false, LoginNeedsEncryption},
        {"C001 BAD syntax", false, LoginRefusedForNow},
        {"C001 OKAY", false, LoginRefusedForNow},
        {"C001", false, LoginRefusedForNow},
    };
    for (const auto& c : cases)
        EXPECT_EQ(ReadLoginAnswer(DecodeResponse(c.line), c.byeSeen), c.answer)
            << c.line << (c.byeSeen ? " with BYE" : "");
}

TEST(ResponseDecoder, ACompletionIsItsOwnTagExactly)
{
    EXPECT_TRUE(Completes(DecodeResponse("C003 OK"), "C003"));
    EXPECT_TRUE(Completes(DecodeResponse("C003 NO x"), "C003"));
    EXPECT_FALSE(Completes(DecodeResponse("C003xOK"), "C003"));
    EXPECT_FALSE(Completes(DecodeResponse("C0031 OK"), "C003"));
    EXPECT_FALSE(Completes(DecodeResponse("c003 OK"), "C003"));
    EXPECT_FALSE(Completes(DecodeResponse("* C003 OK"), "C003"));
    EXPECT_FALSE(Completes(DecodeResponse("+ C003 OK"), "C003"));
}

} // namespace
