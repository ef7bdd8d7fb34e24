// The line reader over arbitrary bytes. However the bytes are cut into
// receives, TakeLine gives the same lines as the plain rule: a line ends at
// each LF, keeps only the bytes 0x20 to 0x7E, and keeps at most
// MaxLineBytes of them; what follows the last LF waits in the partial line.
//
// Input layout. Integers are taken from the end of the input (each one's
// last byte is its most significant), the received bytes are what is left
// at the front:
//   last byte: bits 0-3 the number of cuts, bit 4 a run of one byte, bit 5
//   a long run;
//   the run: offset (two bytes), length (one byte), the byte repeated;
//   per cut: an offset into the received bytes (four bytes).
// A run is up to 255 bytes long; a long one MaxLineBytes - 128 more, so
// that a small input makes lines around the cap without making every input
// slow.
#include <fuzzer/FuzzedDataProvider.h>
#include <stdint.h>
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
    std::string partial; // what follows the last LF
};

bool Kept(unsigned char c)
{
    return c >= 0x20 && c <= 0x7E;
}

// The rule, written the plain way, over the whole stream at once.
Lines ReferenceLines(const std::string& stream)
{
    Lines result;
    for (unsigned char c : stream) {
        if (c == '\n') {
            result.lines.push_back(result.partial);
            result.partial.clear();
        } else if (Kept(c) && result.partial.size() < MaxLineBytes) {
            result.partial += static_cast<char>(c);
        }
    }
    return result;
}

// Feeds the stream to TakeLine as receives that end at the given offsets
// (sorted), and checks what each call promises about its position.
Lines Feed(const std::string& stream, const std::vector<size_t>& cuts)
{
    Lines result;
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
            bool ended = TakeLine(result.partial, receive.get(), size, &pos, &line);
            if (!ended) {
                FUZZ_CHECK(pos == size);
                break;
            }
            // Ended right after the first LF from where it started.
            FUZZ_CHECK(pos > before && pos <= size);
            FUZZ_CHECK(receive[pos - 1] == '\n');
            FUZZ_CHECK(memchr(receive.get() + before, '\n', pos - 1 - before) == nullptr);
            FUZZ_CHECK(result.partial.empty());
            result.lines.push_back(line);
        }
        start = end;
    }
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

    // No LF is lost and none is made up: one line per LF.
    size_t lineFeeds = static_cast<size_t>(std::count(stream.begin(), stream.end(), '\n'));
    FUZZ_CHECK(whole.lines.size() == lineFeeds);

    for (const std::string& line : whole.lines) {
        FUZZ_CHECK(line.size() <= MaxLineBytes);
        for (unsigned char c : line)
            FUZZ_CHECK(Kept(c));
    }
    FUZZ_CHECK(whole.partial.size() <= MaxLineBytes);

    // And each line is the plain rule's: the kept bytes, the first
    // MaxLineBytes of them.
    Lines reference = ReferenceLines(stream);
    FUZZ_CHECK(whole.lines == reference.lines);
    FUZZ_CHECK(whole.partial == reference.partial);
    return 0;
}
