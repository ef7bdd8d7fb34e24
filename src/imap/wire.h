// The IMAP wire format as this client reads and writes it: response lines
// assembled from received bytes, their classification, and the arguments of
// LOGIN. Plain bytes in, plain values out: no Windows header, no I/O, so that
// it also builds natively for the fuzz targets.
#pragma once

#include <stddef.h>

#include <string>
#include <vector>

// A hostile server cannot make a line grow without bound: longer lines keep
// their first MaxLineBytes bytes, and the rest up to the LF is dropped.
const size_t MaxLineBytes = 64 * 1024;

// Takes bytes from data[*pos] on into `partial` until a LF ends the line:
// then moves the line into *line, leaves *pos after the LF and answers
// true. Only the bytes 0x20 to 0x7E are kept (the CR before the LF, tabs,
// other control bytes and bytes from 0x80 up never appear in a line). When
// the bytes run out first, answers false with *pos at `size`: the start of
// the line stays in `partial` for the next bytes.
bool TakeLine(std::string& partial, const char* data, size_t size, size_t* pos, std::string* line);

// "C" and the low 12 bits of the counter as three upper-case hex digits.
std::string CommandTag(int tagCounter);
// The line's first four characters (all of them when it is shorter) equal
// the tag's.
bool IsTaggedWith(const std::string& line, const std::string& tag);
// The status text of a tagged line: from its sixth character on, whatever
// the fifth is. A line that is only the tag has none.
std::string StatusText(const std::string& line);
bool StartsWith(const std::string& text, const char* prefix);
bool Contains(const std::string& text, const char* word);

// The count of an untagged RECENT line such as "* 3 RECENT": the run of
// digits from index 2 on, right after the asterisk and one space, saturated
// at INT_MAX. Anything else is 0.
int RecentCount(const std::string& line);

// The capability names of a "[CAPABILITY ...]" response code in an untagged
// OK or PREAUTH line (a greeting), upper-cased. False when the line has no
// such code.
bool CapabilityCode(const std::string& line, std::vector<std::string>* names);
// The names of an untagged "* CAPABILITY ..." line, upper-cased; false for
// any other line.
bool CapabilityLine(const std::string& line, std::vector<std::string>* names);
// `name` (upper case) is among the names.
bool HasCapability(const std::vector<std::string>& names, const char* name);

// What the server's answer to LOGIN means. `status` is the status text of
// the tagged line ("NO [UNAVAILABLE] ..."); `byeSeen` tells whether an
// untagged BYE came with it.
enum LoginAnswer {
    LoginAccepted,        // OK
    LoginRefusedForNow,   // BAD, NO [UNAVAILABLE], [LIMIT], [INUSE], or a NO with BYE: try again later
    LoginNeedsEncryption, // NO [PRIVACYREQUIRED]
    LoginRejected,        // a wrong user name or password (any other answer)
};
LoginAnswer ReadLoginAnswer(const std::string& status, bool byeSeen);

// How an argument of LOGIN goes on the wire: as an atom when it can, as a
// quoted string when it holds a space or an IMAP special, as a literal when
// it holds CR, LF, NUL or a byte from 0x80 up, which no quoted string may.
enum ArgumentForm { AtomForm, QuotedForm, LiteralForm };
ArgumentForm FormOf(const std::string& text);

// LOGIN user password, without tag, in pieces: the first goes out after the
// tag and a space; each further piece is the bytes of a literal announced
// at the end of the piece before it ("{n}"), sent after the server's "+".
// Every piece but the first is sent as it is; each piece is followed by CR
// LF on the wire. `masked` gets the command as it may be traced: the
// password replaced by "****".
std::vector<std::string> LoginPieces(const std::string& user, const std::string& password, std::string* masked);
