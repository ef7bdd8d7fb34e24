// The line reader over arbitrary bytes. However the bytes are cut into
// receives, TakeLine gives the same lines as the plain rule: a line ends at
// each LF, keeps only the bytes 0x20 to 0x7E, and keeps at most
// MaxLineBytes of them; but a LF whose line's bytes since its start (or
// since its last literal) end in "{n}" or "{n+}", with or without a CR, is
// followed by n bytes of a literal, which are skipped, and the line goes on
// after them. What follows the last line waits in the partial line.
//
// And bytes inside a literal never make a line: the input's bytes wrapped
// as the literal of a FETCH response give that one response line, whatever
// they hold and wherever the receives end.
//
// Input layout. Integers are taken from the end of the input (each one's
// last byte is its most significant), the received bytes are what is left
// at the front:
//   last byte: bits 0-3 the number of cuts, bit 4 a run of one byte, bit 5
//   a long run, bit 6 the wrapping literal in the "{n+}" form, bit 7 its
//   announcement ended by a bare LF;
//   the run: offset (two bytes), length (one byte), the byte repeated;
//   per cut: an offset into the received bytes (four bytes).
// A run is up to 255 bytes long; a long one MaxLineBytes - 128 more, so
// that a small input makes lines around the cap without making every input
// slow.
#include <fuzzer/FuzzedDataProvider.h>
#include <stdint.h>
#include <stdlib.h>
#include <string.h>

#include <algorithm>
#include <memory>
#include <string>
#include <vector>

#include "fuzz_check.h"
#include "imap/wire.h"

namespace {

struct Lines {
    std::vector<std::string> lines;
    std::string partial;      // the kept bytes after the last line
    uint64_t literalLeft = 0; // bytes of a literal not yet seen
    bool started = false;     // LineStarted after the last byte
};

bool Kept(unsigned char c)
{
    return c >= 0x20 && c <= 0x7E;
}

// The size that `raw`, a line's bytes before its LF, announces at its end,
// read backwards; false when it announces none.
bool Announced(const std::string& raw, uint64_t* size)
{
    size_t end = raw.size();
    if (end > 0 && raw[end - 1] == '\r')
        --end;
    if (end == 0 || raw[end - 1] != '}')
        return false;
    --end;
    if (end > 0 && raw[end - 1] == '+')
        --end;
    size_t first = end;
    while (first > 0 && raw[first - 1] >= '0' && raw[first - 1] <= '9')
        --first;
    if (first == end || first == 0 || raw[first - 1] != '{')
        return false;
    std::string digits = raw.substr(first, end - first);
    digits.erase(0, std::min(digits.find_first_not_of('0'), digits.size()));
    const std::string largest = "18446744073709551615";
    if (digits.size() > largest.size() || (digits.size() == largest.size() && digits > largest))
        *size = UINT64_MAX;
    else
        *size = digits.empty() ? 0 : strtoull(digits.c_str(), nullptr, 10);
    return true;
}

// The rule, written the plain way, over the whole stream at once.
Lines ReferenceLines(const std::string& stream)
{
    Lines result;
    std::string raw; // the line's bytes since its start or its last literal
    for (size_t i = 0; i < stream.size(); ++i) {
        if (result.literalLeft > 0) {
            --result.literalLeft;
            continue;
        }
        unsigned char c = static_cast<unsigned char>(stream[i]);
        if (c == '\n') {
            uint64_t size = 0;
            if (Announced(raw, &size)) {
                result.literalLeft = size;
            } else {
                result.lines.push_back(result.partial);
                result.partial.clear();
            }
            raw.clear();
            continue;
        }
        raw += static_cast<char>(c);
        if (Kept(c) && result.partial.size() < MaxLineBytes)
            result.partial += static_cast<char>(c);
    }
    result.started = !result.partial.empty() || result.literalLeft > 0;
    return result;
}

// Feeds the stream to TakeLine as receives that end at the given offsets
// (sorted), and checks what each call promises about its position.
Lines Feed(const std::string& stream, const std::vector<size_t>& cuts)
{
    Lines result;
    PartialLine partial;
    // TakeLine replaces the line it gives; it never appends to what was there.
    std::string line = "stale text of an earlier line";
    size_t start = 0;
    for (size_t i = 0; i <= cuts.size(); ++i) {
        size_t end = i < cuts.size() ? cuts[i] : stream.size();
        size_t size = end - start;
        // Each receive in a heap block of exactly its size, so that a read past
        // it is seen by AddressSanitizer.
        std::unique_ptr<char[]> receive(new char[size]);
        if (size > 0)
            memcpy(receive.get(), stream.data() + start, size);
        size_t pos = 0;
        for (;;) {
            size_t before = pos;
            bool ended = TakeLine(partial, receive.get(), size, &pos, &line);
            if (!ended) {
                FUZZ_CHECK(pos == size);
                break;
            }
            // Ended right after a LF, with nothing left over.
            FUZZ_CHECK(pos > before && pos <= size);
            FUZZ_CHECK(receive[pos - 1] == '\n');
            FUZZ_CHECK(!LineStarted(partial));
            result.lines.push_back(line);
        }
        FUZZ_CHECK(partial.text.size() <= MaxLineBytes);
        start = end;
    }
    result.partial = partial.text;
    result.literalLeft = partial.literalLeft;
    result.started = LineStarted(partial);
    // Forgetting the partial line forgets a literal under way too.
    ForgetPartialLine(partial);
    FUZZ_CHECK(!LineStarted(partial));
    size_t pos = 0;
    FUZZ_CHECK(TakeLine(partial, "x\n", 2, &pos, &line) && line == "x" && pos == 2);
    return result;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    FuzzedDataProvider input(data, size);
    uint8_t shape = input.ConsumeIntegral<uint8_t>();
    size_t cutCount = shape & 0x0F;

    size_t runOffset = 0, runLength = 0;
    char runByte = 0;
    if (shape & 0x10) {
        runOffset = input.ConsumeIntegral<uint16_t>();
        runLength = input.ConsumeIntegral<uint8_t>();
        if (shape & 0x20)
            runLength += MaxLineBytes - 128;
        runByte = static_cast<char>(input.ConsumeIntegral<uint8_t>());
    }
    std::vector<uint32_t> cutValues;
    for (size_t i = 0; i < cutCount; ++i)
        cutValues.push_back(input.ConsumeIntegral<uint32_t>());

    std::string stream = input.ConsumeRemainingBytesAsString();
    stream.insert(std::min(runOffset, stream.size()), runLength, runByte);
    std::vector<size_t> cuts;
    for (uint32_t value : cutValues)
        cuts.push_back(value % (stream.size() + 1));
    std::sort(cuts.begin(), cuts.end());

    Lines whole = Feed(stream, std::vector<size_t>());
    Lines pieces = Feed(stream, cuts);

    // Where the receives end makes no difference.
    FUZZ_CHECK(pieces.lines == whole.lines);
    FUZZ_CHECK(pieces.partial == whole.partial);
    FUZZ_CHECK(pieces.literalLeft == whole.literalLeft);
    FUZZ_CHECK(pieces.started == whole.started);

    for (const std::string& line : whole.lines) {
        FUZZ_CHECK(line.size() <= MaxLineBytes);
        for (unsigned char c : line)
            FUZZ_CHECK(Kept(c));
    }
    // Without a brace there is no literal: one line per LF.
    if (stream.find('{') == std::string::npos) {
        size_t lineFeeds = static_cast<size_t>(std::count(stream.begin(), stream.end(), '\n'));
        FUZZ_CHECK(whole.lines.size() == lineFeeds);
        FUZZ_CHECK(whole.literalLeft == 0);
    }

    // And each line is the plain rule's.
    Lines reference = ReferenceLines(stream);
    FUZZ_CHECK(whole.lines == reference.lines);
    FUZZ_CHECK(whole.partial == reference.partial);
    FUZZ_CHECK(whole.literalLeft == reference.literalLeft);
    FUZZ_CHECK(whole.started == reference.started);

    // The stream as a literal: one line, the response around it, whatever
    // the stream holds and wherever the receives end (the same cuts, moved
    // past the announcement).
    std::string announcement = "* 1 FETCH (BODY[] {" + std::to_string(stream.size()) + ((shape & 0x40) ? "+}" : "}");
    std::string head = announcement + ((shape & 0x80) ? "\n" : "\r\n");
    std::string wrapped = head + stream + ")\r\n";
    std::vector<size_t> wrappedCuts;
    for (size_t cut : cuts)
        wrappedCuts.push_back(cut + head.size() / 2 + (cut & 1) * (head.size() / 2));
    for (size_t& cut : wrappedCuts)
        cut = std::min(cut, wrapped.size());
    std::sort(wrappedCuts.begin(), wrappedCuts.end());
    Lines fetch = Feed(wrapped, wrappedCuts);
    FUZZ_CHECK(fetch.lines.size() == 1);
    FUZZ_CHECK(fetch.lines[0] == announcement + ")");
    FUZZ_CHECK(!fetch.started);
    return 0;
}
