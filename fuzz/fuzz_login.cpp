// The LOGIN command over arbitrary user names and passwords. A small IMAP
// reader of its own, strict as a server, reads the pieces back: each
// argument must be a valid astring (atom, quoted string or literal), and
// must give back exactly the user and the password. The traced form must be
// the command as sent up to the password, and "****" in its place.
//
// Input layout: the user up to the first backslash that is not doubled
// ("\\" stands for one backslash), the password after it.
#include <fuzzer/FuzzedDataProvider.h>
#include <stdint.h>
#include <string.h>

#include <string>
#include <vector>

#include "fuzz_check.h"
#include "imap/wire.h"

namespace {

// Where the reader stands: a piece, and an offset into it. Each piece is one
// line of the command as the server reads it; a literal's bytes start the
// piece after the one that announces it.
struct Reader {
    const std::vector<std::string>* pieces;
    size_t piece;
    size_t at;
};

const std::string& Current(const Reader& reader)
{
    return (*reader.pieces)[reader.piece];
}

bool Expect(Reader& reader, const char* text)
{
    size_t length = strlen(text);
    if (Current(reader).compare(reader.at, length, text) != 0)
        return false;
    reader.at += length;
    return true;
}

// RFC 3501: ASTRING-CHAR is any CHAR but the atom-specials, or ']'.
bool AstringChar(unsigned char c)
{
    return c > 0x20 && c < 0x7F && strchr("(){%*\"\\", c) == nullptr;
}

// One astring at the reader. Answers false where a server would reject it.
bool ReadAstring(Reader& reader, std::string* text, ArgumentForm* form)
{
    const std::string& piece = Current(reader);
    text->clear();
    if (reader.at >= piece.size())
        return false;
    if (piece[reader.at] == '"') {
        // Quoted: TEXT-CHARs (0x01-0x7F, no CR or LF), with '"' and '\'
        // escaped by '\', within the line.
        *form = QuotedForm;
        size_t at = reader.at + 1;
        for (;;) {
            if (at >= piece.size())
                return false;
            unsigned char c = static_cast<unsigned char>(piece[at++]);
            if (c == '"')
                break;
            if (c == '\\') {
                if (at >= piece.size())
                    return false;
                c = static_cast<unsigned char>(piece[at++]);
                if (c != '"' && c != '\\')
                    return false;
            } else if (c == 0 || c == '\r' || c == '\n' || c >= 0x80) {
                return false;
            }
            *text += static_cast<char>(c);
        }
        reader.at = at;
        return true;
    }
    if (piece[reader.at] == '{') {
        // Literal: "{n}" ends the line; the next line starts with the n bytes.
        *form = LiteralForm;
        size_t at = reader.at + 1;
        uint64_t count = 0;
        size_t digits = 0;
        while (at < piece.size() && piece[at] >= '0' && piece[at] <= '9' && digits < 12) {
            count = count * 10 + static_cast<uint64_t>(piece[at++] - '0');
            ++digits;
        }
        if (digits == 0 || at >= piece.size() || piece[at] != '}' || at + 1 != piece.size())
            return false;
        if (reader.piece + 1 >= reader.pieces->size())
            return false;
        ++reader.piece;
        if (Current(reader).size() < count)
            return false;
        // Any byte, even NUL (which the settings, being C strings, never hold).
        *text = Current(reader).substr(0, count);
        reader.at = count;
        return true;
    }
    *form = AtomForm;
    size_t at = reader.at;
    while (at < piece.size() && AstringChar(static_cast<unsigned char>(piece[at])))
        ++at;
    if (at == reader.at)
        return false;
    *text = piece.substr(reader.at, at - reader.at);
    reader.at = at;
    return true;
}

// A literal only where a quoted string cannot carry the text.
bool NeedsLiteral(const std::string& text)
{
    for (unsigned char c : text)
        if (c == 0 || c == '\r' || c == '\n' || c >= 0x80)
            return true;
    return false;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    FuzzedDataProvider input(data, size);
    std::string user = input.ConsumeRandomLengthString(size);
    std::string password = input.ConsumeRemainingBytesAsString();

    std::string masked = "stale trace";
    std::vector<std::string> pieces = LoginPieces(user, password, &masked);
    FUZZ_CHECK(!pieces.empty());

    Reader reader = {&pieces, 0, 0};
    std::string readUser, readPassword;
    ArgumentForm userForm, passwordForm;
    FUZZ_CHECK(Expect(reader, "LOGIN "));
    FUZZ_CHECK(ReadAstring(reader, &readUser, &userForm));
    FUZZ_CHECK(Expect(reader, " "));
    Reader passwordStart = reader;
    FUZZ_CHECK(ReadAstring(reader, &readPassword, &passwordForm));
    // Nothing after the password, and no piece left over.
    FUZZ_CHECK(reader.piece + 1 == pieces.size());
    FUZZ_CHECK(reader.at == Current(reader).size());

    FUZZ_CHECK(readUser == user);
    FUZZ_CHECK(readPassword == password);
    FUZZ_CHECK(userForm == FormOf(user));
    FUZZ_CHECK(passwordForm == FormOf(password));
    FUZZ_CHECK((userForm == LiteralForm) == NeedsLiteral(user));
    FUZZ_CHECK((passwordForm == LiteralForm) == NeedsLiteral(password));

    // The trace: the lines as sent up to where the password starts, CR LF
    // between them, and the mask in place of the password's whole argument.
    std::string sent;
    for (size_t i = 0; i < passwordStart.piece; ++i)
        sent += pieces[i] + "\r\n";
    sent += pieces[passwordStart.piece].substr(0, passwordStart.at);
    FUZZ_CHECK(masked == sent + "****");
    return 0;
}
