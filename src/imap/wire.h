// The IMAP wire format as this client reads and writes it: response lines
// assembled from received bytes, literals skipped, the lines decoded into
// responses, and the arguments of LOGIN. Plain bytes in, plain values out:
// no Windows header, no I/O, so that it also builds natively for the fuzz
// targets.
#pragma once

#include <stddef.h>
#include <stdint.h>

#include <string>
#include <vector>

// A hostile server cannot make a line grow without bound: longer lines keep
// their first MaxLineBytes bytes, and the rest up to the LF is dropped.
const size_t MaxLineBytes = 64 * 1024;

// How far the last bytes of a line spell a literal's announcement, "{n}" or
// "{n+}", and the CR before its LF.
enum LiteralAnnouncement {
    NoAnnouncement,
    AnnouncementOpened, // "{"
    AnnouncementDigits, // "{" and digits
    AnnouncementPlus,   // "{n+"
    AnnouncementClosed, // "{n}" or "{n+}"
    AnnouncementCr,     // and a CR
};

// A response line while its bytes arrive. A line whose bytes before the LF
// end in "{n}" (or "{n+}"), with or without a CR, announces a literal: the n
// bytes after the LF are data, whatever they hold, and the line goes on
// after them to its real end. The literal's bytes are skipped, never kept:
// of a literal only its announcement stays in the line, so that
// "* 1 FETCH (BODY[] {5}\r\nhello)\r\n" is the line "* 1 FETCH (BODY[] {5})",
// and memory stays bounded whatever n is. A size past 2^64 - 1 is held
// there: such a literal never ends.
struct PartialLine {
    std::string text;                                 // the kept bytes so far
    uint64_t literalLeft = 0;                         // bytes of a literal still to skip
    LiteralAnnouncement announcement = NoAnnouncement; // what the last bytes spell
    uint64_t announcedSize = 0;                       // the n of the announcement, so far
};

// Takes bytes from data[*pos] on into `partial` until a LF ends the line:
// then moves the line into *line, leaves *pos after the LF and answers
// true. Only the bytes 0x20 to 0x7E are kept (the CR before the LF, tabs,
// other control bytes and bytes from 0x80 up never appear in a line), and at
// most MaxLineBytes of them. When the bytes run out first, answers false
// with *pos at `size`: the start of the line, and a literal under way, stay
// in `partial` for the next bytes.
bool TakeLine(PartialLine& partial, const char* data, size_t size, size_t* pos, std::string* line);
// Part of a line has come, or a literal is under way.
bool LineStarted(const PartialLine& partial);
// Forgets the start of a line, and a literal under way.
void ForgetPartialLine(PartialLine& partial);

// A response line decoded. IMAP's words (statuses, response codes, data
// names) are read without regard to case, and kept upper-cased; a tag and
// the text are kept as received.
enum ResponseKind {
    ResponseUnknown,      // none of the forms below: an empty line, a first word that is no tag
    ResponseTagged,       // "tag status [code] text": the end of a command
    ResponseUntagged,     // "* ...": a status or data the server tells
    ResponseContinuation, // "+ text": the server waits for the rest of a command
};

enum ResponseStatus {
    StatusNone,    // untagged data ("* 3 EXISTS", "* CAPABILITY ..."), or no status
    StatusOk,
    StatusNo,
    StatusBad,
    StatusBye,     // untagged only
    StatusPreauth, // untagged only
    StatusOther,   // a tagged line whose second word is none of OK, NO and BAD
};

struct Response {
    ResponseKind kind = ResponseUnknown;
    std::string tag; // tagged: the tag as received
    ResponseStatus status = StatusNone;
    // A status's response code in brackets ("[CAPABILITY IMAP4rev1 IDLE]"):
    // its name ("CAPABILITY") and what follows the name ("IMAP4REV1 IDLE"),
    // upper-cased; both empty without a code.
    std::string code;
    std::string codeArguments;
    // Untagged data: "* n WORD ..." has a number, saturated at INT_MAX;
    // "* WORD ..." has none. `word` is upper-cased.
    bool numbered = false;
    int number = 0;
    std::string word;
    // After a status its text (after the code), after data's word the rest
    // of the line, after "+" the continuation's text.
    std::string text;
};

// One line as the reader delivers it. Untagged is any line that begins with
// "*" (its words are read only after "* "), continuation any that begins
// with "+"; tagged is a line whose first word is a tag (no specials, no
// control bytes). Words are separated by one space each.
Response DecodeResponse(const std::string& line);

// "C" and the low 12 bits of the counter as three upper-case hex digits.
std::string CommandTag(int tagCounter);
// A tagged response with this tag: the end of the command sent with it.
bool Completes(const Response& response, const std::string& tag);
// Untagged "* n WORD" (WORD upper-case: "EXISTS", "RECENT", "EXPUNGE") with
// nothing after the word but at most one space; its n is response.number.
bool IsCountOf(const Response& response, const char* word);
// An untagged BYE: the server is going away.
bool IsBye(const Response& response);

// The capability names of a CAPABILITY response code in an OK or PREAUTH
// response, tagged or untagged, upper-cased. False when it has no such code.
bool CapabilityCode(const Response& response, std::vector<std::string>* names);
// The names of an untagged "* CAPABILITY ..." response, upper-cased; false
// for any other response.
bool CapabilityData(const Response& response, std::vector<std::string>* names);
// `name` (upper case) is among the names.
bool HasCapability(const std::vector<std::string>& names, const char* name);

// What the server's answer to LOGIN means. `answer` is the tagged response;
// `byeSeen` tells whether an untagged BYE came with it.
enum LoginAnswer {
    LoginAccepted,        // OK
    LoginRefusedForNow,   // NO [UNAVAILABLE], [LIMIT], [INUSE], a NO with BYE, BAD or no status: try again later
    LoginNeedsEncryption, // NO [PRIVACYREQUIRED]
    LoginRejected,        // any other NO: a wrong user name or password
};
LoginAnswer ReadLoginAnswer(const Response& answer, bool byeSeen);

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
