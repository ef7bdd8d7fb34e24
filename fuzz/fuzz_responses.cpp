// The decoding of response lines, over arbitrary lines. The input is one
// line as it is: the reader never delivers control bytes or bytes from 0x80
// up, but nothing here may go wrong on them either. The decoder never
// misreads: what it finds agrees with plain readings of the line written
// here, does not change with the case of the line's letters, and lines
// built from known parts give those parts back.
#include <limits.h>
#include <stdint.h>
#include <stdio.h>

#include <string>
#include <vector>

#include "fuzz_check.h"
#include "imap/wire.h"

namespace {

std::string Upper(std::string text)
{
    for (char& c : text)
        if (c >= 'a' && c <= 'z')
            c = static_cast<char>(c - 'a' + 'A');
    return text;
}

std::string Lower(std::string text)
{
    for (char& c : text)
        if (c >= 'A' && c <= 'Z')
            c = static_cast<char>(c - 'A' + 'a');
    return text;
}

// The word in the case the bits choose, letter by letter.
std::string Cased(const std::string& word, uint32_t bits)
{
    std::string cased = word;
    for (size_t i = 0; i < cased.size(); ++i)
        cased[i] = (bits >> (i % 32)) & 1 ? Lower(cased.substr(i, 1))[0] : Upper(cased.substr(i, 1))[0];
    return cased;
}

// A number the input chooses, for the checks that build their own lines.
uint32_t NumberOf(const std::string& text)
{
    uint32_t hash = 2166136261u;
    for (unsigned char c : text)
        hash = (hash ^ c) * 16777619u;
    return hash;
}

bool IsDigits(const std::string& text)
{
    if (text.empty())
        return false;
    for (char c : text)
        if (c < '0' || c > '9')
            return false;
    return true;
}

bool HasLowerCase(const std::string& text)
{
    for (char c : text)
        if (c >= 'a' && c <= 'z')
            return true;
    return false;
}

// "* n WORD", a space after it let pass, WORD in any case: the plain way.
bool ReferenceCount(const std::string& line, const std::string& word, int* number)
{
    if (line.compare(0, 2, "* ") != 0)
        return false;
    size_t space = line.find(' ', 2);
    if (space == std::string::npos || !IsDigits(line.substr(2, space - 2)))
        return false;
    std::string rest = Upper(line.substr(space + 1));
    if (rest != word && rest != word + " ")
        return false;
    // The count, held at INT_MAX once past it.
    uint64_t count = 0;
    for (size_t i = 2; i < space; ++i) {
        count = count * 10 + static_cast<uint64_t>(line[i] - '0');
        if (count > INT_MAX)
            count = INT_MAX;
    }
    *number = static_cast<int>(count);
    return true;
}

void CheckNames(const std::vector<std::string>& names)
{
    for (const std::string& name : names) {
        FUZZ_CHECK(!name.empty());
        FUZZ_CHECK(name.find(' ') == std::string::npos);
        FUZZ_CHECK(!HasLowerCase(name));
    }
}

// What the case of the letters may change: the tag and the text keep theirs.
bool SameButForCase(const Response& a, const Response& b)
{
    return a.kind == b.kind && Lower(a.tag) == Lower(b.tag) && a.status == b.status && a.code == b.code &&
           a.codeArguments == b.codeArguments && a.numbered == b.numbered && a.number == b.number &&
           a.word == b.word && Lower(a.text) == Lower(b.text);
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    const std::string line(reinterpret_cast<const char*>(data), size);
    const uint32_t number = NumberOf(line);
    const Response response = DecodeResponse(line);

    // What each kind may hold.
    FUZZ_CHECK(response.number >= 0);
    FUZZ_CHECK(!HasLowerCase(response.code) && !HasLowerCase(response.codeArguments) && !HasLowerCase(response.word));
    FUZZ_CHECK(response.code.find(' ') == std::string::npos);
    FUZZ_CHECK(response.code.find(']') == std::string::npos && response.codeArguments.find(']') == std::string::npos);
    switch (response.kind) {
    case ResponseTagged:
        FUZZ_CHECK(!response.tag.empty() && line.compare(0, response.tag.size(), response.tag) == 0);
        FUZZ_CHECK(response.tag.find_first_of(" *+(){%\"\\") == std::string::npos);
        FUZZ_CHECK(response.status == StatusOk || response.status == StatusNo || response.status == StatusBad ||
                   response.status == StatusOther);
        FUZZ_CHECK(!response.numbered && response.word.empty());
        break;
    case ResponseUntagged:
        FUZZ_CHECK(line[0] == '*' && response.tag.empty() && response.status != StatusOther);
        FUZZ_CHECK(response.status == StatusNone || (!response.numbered && response.word.empty()));
        FUZZ_CHECK(response.status == StatusNone || line.compare(0, 2, "* ") == 0);
        FUZZ_CHECK(response.numbered || response.number == 0);
        break;
    case ResponseContinuation:
        FUZZ_CHECK(line[0] == '+' && response.status == StatusNone && line.substr(line.size() - response.text.size()) == response.text);
        break;
    case ResponseUnknown:
        FUZZ_CHECK(response.status == StatusNone && response.tag.empty() && response.text.empty());
        FUZZ_CHECK(line.empty() || (line[0] != '*' && line[0] != '+'));
        break;
    }
    // The text is the end of the line, as received.
    FUZZ_CHECK(line.size() >= response.text.size() &&
               line.compare(line.size() - response.text.size(), std::string::npos, response.text) == 0);

    // The case of the letters changes nothing IMAP reads.
    FUZZ_CHECK(SameButForCase(DecodeResponse(Lower(line)), response));
    FUZZ_CHECK(SameButForCase(DecodeResponse(Upper(line)), response));

    // Counts only as "* n WORD", as the plain reading has them.
    const char* words[] = {"EXISTS", "RECENT", "EXPUNGE"};
    for (const char* word : words) {
        int expected = -1;
        bool isCount = ReferenceCount(line, word, &expected);
        FUZZ_CHECK(IsCountOf(response, word) == isCount);
        if (isCount)
            FUZZ_CHECK(response.number == expected);
    }

    // A goodbye only as an untagged status, BYE in any case.
    bool bye = line.compare(0, 2, "* ") == 0 && Upper(line.substr(2, line.find(' ', 2) - 2)) == "BYE";
    FUZZ_CHECK(IsBye(response) == bye);

    // The tag: "C" and three upper-case hex digits, the low 12 bits of the
    // counter, which read back give those bits.
    int counter = static_cast<int>(number);
    std::string tag = CommandTag(counter);
    FUZZ_CHECK(tag.size() == 4 && tag[0] == 'C');
    unsigned value = 0;
    for (size_t i = 1; i < 4; ++i) {
        char c = tag[i];
        FUZZ_CHECK((c >= '0' && c <= '9') || (c >= 'A' && c <= 'F'));
        value = value * 16 + static_cast<unsigned>(c <= '9' ? c - '0' : c - 'A' + 10);
    }
    FUZZ_CHECK(value == (static_cast<unsigned>(counter) & 0xFFF));

    // A line completes the command of that tag exactly when its first word
    // is the tag.
    bool tagged = line == tag || line.compare(0, tag.size() + 1, tag + " ") == 0;
    FUZZ_CHECK(Completes(response, tag) == tagged);
    // The plain reading of its status word.
    if (tagged) {
        size_t end = line.find(' ', tag.size() + 1);
        std::string status = line.size() > tag.size() ? Upper(line.substr(tag.size() + 1, end - tag.size() - 1)) : "";
        FUZZ_CHECK((response.status == StatusOk) == (status == "OK"));
        FUZZ_CHECK((response.status == StatusNo) == (status == "NO"));
        FUZZ_CHECK((response.status == StatusBad) == (status == "BAD"));
    }
    // Only a NO says that the password is wrong, and a NO with a BYE never.
    FUZZ_CHECK(ReadLoginAnswer(response, false) != LoginRejected || response.status == StatusNo);
    FUZZ_CHECK(ReadLoginAnswer(response, true) != LoginRejected);
    FUZZ_CHECK((ReadLoginAnswer(response, number & 1) == LoginAccepted) == (response.status == StatusOk));

    // Lines built around the input give back their parts.
    // The line as the text of a completion, its status in any case.
    const char* statuses[] = {"OK", "NO", "BAD"};
    const ResponseStatus statusValues[] = {StatusOk, StatusNo, StatusBad};
    size_t which = number % 3;
    Response completion = DecodeResponse(tag + " " + Cased(statuses[which], number >> 2) + " " + line);
    FUZZ_CHECK(Completes(completion, tag) && completion.status == statusValues[which]);
    // The line after a response code: an alert is never a count, whatever
    // its text says.
    Response alert = DecodeResponse("* OK [" + Cased("ALERT", number) + "] " + line);
    FUZZ_CHECK(alert.kind == ResponseUntagged && alert.status == StatusOk && alert.code == "ALERT" &&
               alert.codeArguments.empty() && alert.text == line);
    for (const char* word : words)
        FUZZ_CHECK(!IsCountOf(alert, word));
    // A count written out is read back, its word in any case.
    int written = static_cast<int>(number & INT_MAX);
    Response count = DecodeResponse("* " + std::to_string(written) + " " + Cased("EXISTS", number));
    FUZZ_CHECK(IsCountOf(count, "EXISTS") && count.number == written);
    // With the line after it, only a space or nothing keeps it a count.
    Response longer = DecodeResponse("* " + std::to_string(written) + " EXISTS " + line);
    FUZZ_CHECK(IsCountOf(longer, "EXISTS") == line.empty());

    // Capabilities: names that are not empty, upper case, without spaces.
    std::vector<std::string> names(1, "stale");
    bool hasCode = CapabilityCode(response, &names);
    if (hasCode)
        CheckNames(names);
    FUZZ_CHECK(!hasCode || response.status == StatusOk || response.status == StatusPreauth);
    std::vector<std::string> dataNames(1, "stale");
    bool hasData = CapabilityData(response, &dataNames);
    if (hasData)
        CheckNames(dataNames);
    FUZZ_CHECK(!(hasCode && hasData));

    // The words of the line put into a greeting's code, and into a
    // CAPABILITY response, come back as its names, upper-cased, in order.
    std::vector<std::string> expected;
    std::string inCode = "* " + Cased((number & 1) ? "OK" : "PREAUTH", number) + " [" + Cased("CAPABILITY", number >> 3);
    std::string inData = "* " + Cased("CAPABILITY", number >> 5);
    size_t start = 0;
    while (start < line.size()) {
        size_t end = line.find_first_of(" ]", start);
        if (end == std::string::npos)
            end = line.size();
        if (end > start) {
            expected.push_back(Upper(line.substr(start, end - start)));
            inCode += std::string(1 + (expected.size() % 3), ' ') + line.substr(start, end - start);
            inData += std::string(1 + (expected.size() % 2), ' ') + line.substr(start, end - start);
        }
        start = end + 1;
    }
    std::vector<std::string> fromCode;
    FUZZ_CHECK(CapabilityCode(DecodeResponse(inCode + "] " + line), &fromCode));
    FUZZ_CHECK(fromCode == expected);
    std::vector<std::string> fromData;
    FUZZ_CHECK(CapabilityData(DecodeResponse(inData), &fromData));
    FUZZ_CHECK(fromData == expected);
    for (const std::string& name : expected)
        if (name.find('\0') == std::string::npos)
            FUZZ_CHECK(HasCapability(fromData, name.c_str()));
    FUZZ_CHECK(!HasCapability(fromData, "NOT A NAME"));
    return 0;
}
