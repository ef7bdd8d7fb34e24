// The classification of response lines, over arbitrary lines. The input is
// one line as it is: the reader never delivers control bytes or bytes from
// 0x80 up, but nothing here may go wrong on them either.
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

// The RECENT count the plain way: the digits from index 2 on, in 64 bits,
// held at INT_MAX once past it.
int ReferenceRecent(const std::string& line)
{
    uint64_t count = 0;
    for (size_t i = 2; i < line.size() && line[i] >= '0' && line[i] <= '9'; ++i) {
        count = count * 10 + static_cast<uint64_t>(line[i] - '0');
        if (count > INT_MAX)
            count = INT_MAX;
    }
    return static_cast<int>(count);
}

// A number the input chooses, for the checks that build their own lines.
uint32_t NumberOf(const std::string& text)
{
    uint32_t hash = 2166136261u;
    for (unsigned char c : text)
        hash = (hash ^ c) * 16777619u;
    return hash;
}

void CheckCapabilityNames(const std::vector<std::string>& names)
{
    for (const std::string& name : names) {
        FUZZ_CHECK(!name.empty());
        for (char c : name) {
            FUZZ_CHECK(c != ' ' && c != ']');
            FUZZ_CHECK(!(c >= 'a' && c <= 'z'));
        }
    }
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    const std::string line(reinterpret_cast<const char*>(data), size);
    const uint32_t number = NumberOf(line);

    // RECENT: never negative, and the plain rule's count.
    int recent = RecentCount(line);
    FUZZ_CHECK(recent >= 0);
    FUZZ_CHECK(recent == ReferenceRecent(line));
    // A count written out is read back.
    int written = static_cast<int>(number & INT_MAX);
    FUZZ_CHECK(RecentCount("* " + std::to_string(written) + " RECENT") == written);
    FUZZ_CHECK(RecentCount("* " + std::to_string(written) + line) >= written);

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

    // Tagged with it exactly when the line's first four characters are the tag.
    bool tagged = line.size() >= 4 && line.compare(0, 4, tag) == 0;
    FUZZ_CHECK(IsTaggedWith(line, tag) == tagged);
    // The line as the completion of that tag: its status text is the rest.
    std::string completion = tag + " " + line;
    FUZZ_CHECK(IsTaggedWith(completion, tag));
    FUZZ_CHECK(StatusText(completion) == line);
    FUZZ_CHECK(StatusText(tag).empty());
    FUZZ_CHECK(StatusText(line) == (line.size() > 5 ? line.substr(5) : std::string()));
    // Only a line's own first four characters can tag it.
    if (line.size() >= 4 && line.find('\0') == std::string::npos) {
        std::string own = line.substr(0, 4);
        FUZZ_CHECK(IsTaggedWith(line, own));
        FUZZ_CHECK(IsTaggedWith(own + tag, own));
    }

    // StartsWith and Contains against the standard library, with a prefix and
    // a word cut from the line itself (up to its first NUL: they take C strings).
    std::string word = line.substr(0, line.find('\0'));
    std::string head = word.substr(0, number % (word.size() + 1));
    std::string middle = word.substr(word.size() / 2);
    FUZZ_CHECK(StartsWith(line, head.c_str()));
    FUZZ_CHECK(StartsWith(line, middle.c_str()) == (line.compare(0, middle.size(), middle) == 0));
    FUZZ_CHECK(Contains(line, middle.c_str()));
    FUZZ_CHECK(Contains(head, middle.c_str()) == (head.find(middle) != std::string::npos));

    // The greeting's capability code: names that are not empty, upper case,
    // and hold no space or ']' (a lower-case name left in the list from
    // before fails that too); the code is read the same in any case.
    std::vector<std::string> names(1, "stale");
    bool hasCode = CapabilityCode(line, &names);
    if (hasCode)
        CheckCapabilityNames(names);
    std::vector<std::string> lowerNames;
    FUZZ_CHECK(CapabilityCode(Lower(line), &lowerNames) == hasCode);
    if (hasCode)
        FUZZ_CHECK(lowerNames == names);

    // The words of the line put into a greeting come back as its names, upper
    // cased, in order, with any runs of spaces between them.
    std::vector<std::string> words;
    std::string greeting = (number & 1) ? "* OK [capability" : "* PREAUTH [CAPABILITY";
    size_t start = 0;
    while (start < line.size()) {
        size_t end = line.find_first_of(" ]", start);
        if (end == std::string::npos)
            end = line.size();
        if (end > start) {
            words.push_back(Upper(line.substr(start, end - start)));
            greeting += std::string(1 + (words.size() % 3), ' ') + line.substr(start, end - start);
        }
        start = end + 1;
    }
    greeting += "] " + line;
    std::vector<std::string> greetingNames;
    FUZZ_CHECK(CapabilityCode(greeting, &greetingNames));
    FUZZ_CHECK(greetingNames == words);

    // The tag of a command or a status line's text is no capability code.
    std::vector<std::string> none;
    FUZZ_CHECK(!CapabilityCode(completion, &none));
    return 0;
}
