#include "imap/wire.h"

#include <limits.h>
#include <string.h>

namespace {

// The password never reaches the trace.
const char PasswordMask[] = "****";

// Appends an argument to the command being built. A literal ends the current
// piece with its announcement "{n}"; its bytes make the next piece, which is
// sent after the server's continuation.
void AppendArgument(std::vector<std::string>& pieces, const std::string& text)
{
    switch (FormOf(text)) {
    case AtomForm:
        pieces.back() += text;
        break;
    case QuotedForm:
        pieces.back() += '"';
        for (char c : text) {
            if (c == '"' || c == '\\')
                pieces.back() += '\\';
            pieces.back() += c;
        }
        pieces.back() += '"';
        break;
    case LiteralForm:
        pieces.back() += "{" + std::to_string(text.size()) + "}";
        pieces.push_back(text);
        break;
    }
}

bool IsDigit(unsigned char c)
{
    return c >= '0' && c <= '9';
}

// Follows the announcement of a literal through one more byte of the line.
void FollowAnnouncement(PartialLine& partial, unsigned char c)
{
    if (c == '{') {
        partial.announcement = AnnouncementOpened;
        partial.announcedSize = 0;
        return;
    }
    switch (partial.announcement) {
    case AnnouncementOpened:
    case AnnouncementDigits:
        if (IsDigit(c)) {
            uint64_t digit = c - '0';
            partial.announcedSize = partial.announcedSize > (UINT64_MAX - digit) / 10
                                        ? UINT64_MAX
                                        : partial.announcedSize * 10 + digit;
            partial.announcement = AnnouncementDigits;
            return;
        }
        if (partial.announcement == AnnouncementDigits && c == '+') {
            partial.announcement = AnnouncementPlus;
            return;
        }
        if (partial.announcement == AnnouncementDigits && c == '}') {
            partial.announcement = AnnouncementClosed;
            return;
        }
        break;
    case AnnouncementPlus:
        if (c == '}') {
            partial.announcement = AnnouncementClosed;
            return;
        }
        break;
    case AnnouncementClosed:
        if (c == '\r') {
            partial.announcement = AnnouncementCr;
            return;
        }
        break;
    case NoAnnouncement:
    case AnnouncementCr:
        break;
    }
    partial.announcement = NoAnnouncement;
}

} // namespace

bool TakeLine(PartialLine& partial, const char* data, size_t size, size_t* pos, std::string* line)
{
    while (*pos < size) {
        if (partial.literalLeft != 0) {
            // The literal's bytes are passed over in one go, none of them kept.
            size_t available = size - *pos;
            size_t skipped = partial.literalLeft < available ? static_cast<size_t>(partial.literalLeft) : available;
            *pos += skipped;
            partial.literalLeft -= skipped;
            continue;
        }
        unsigned char c = static_cast<unsigned char>(data[(*pos)++]);
        if (c == '\n') {
            if (partial.announcement == AnnouncementClosed || partial.announcement == AnnouncementCr) {
                // A literal follows; the line goes on after it.
                partial.literalLeft = partial.announcedSize;
                partial.announcement = NoAnnouncement;
                partial.announcedSize = 0;
                continue;
            }
            line->swap(partial.text);
            ForgetPartialLine(partial);
            return true;
        }
        FollowAnnouncement(partial, c);
        if (c >= 0x20 && c <= 0x7E && partial.text.size() < MaxLineBytes)
            partial.text += static_cast<char>(c);
    }
    return false;
}

bool LineStarted(const PartialLine& partial)
{
    return !partial.text.empty() || partial.literalLeft != 0;
}

void ForgetPartialLine(PartialLine& partial)
{
    partial.text.clear();
    partial.literalLeft = 0;
    partial.announcement = NoAnnouncement;
    partial.announcedSize = 0;
}

namespace {

std::string UpperCase(const std::string& text)
{
    std::string upper = text;
    for (char& c : upper)
        if (c >= 'a' && c <= 'z')
            c = static_cast<char>(c - 'a' + 'A');
    return upper;
}

// The word at *pos, up to the next space or the end; *pos goes past the word
// and the one space after it.
std::string NextWord(const std::string& line, size_t* pos)
{
    size_t start = *pos < line.size() ? *pos : line.size();
    size_t end = line.find(' ', start);
    if (end == std::string::npos) {
        *pos = line.size();
        return line.substr(start);
    }
    *pos = end + 1;
    return line.substr(start, end - start);
}

// A tag is one or more characters from 0x21 to 0x7E, none of them one of
// IMAP's specials, and no "+".
bool IsTag(const std::string& word)
{
    if (word.empty())
        return false;
    for (unsigned char c : word)
        if (c <= 0x20 || c >= 0x7F || strchr("(){%*\"\\+", c) != NULL)
            return false;
    return true;
}

bool IsNumber(const std::string& word)
{
    if (word.empty())
        return false;
    for (unsigned char c : word)
        if (!IsDigit(c))
            return false;
    return true;
}

int SaturatedNumber(const std::string& digits)
{
    int number = 0;
    for (unsigned char c : digits) {
        int digit = c - '0';
        number = number > (INT_MAX - digit) / 10 ? INT_MAX : number * 10 + digit;
    }
    return number;
}

// The response code at *pos, if one begins there, and the text after it.
void TakeCodeAndText(const std::string& line, size_t pos, Response* response)
{
    if (pos < line.size() && line[pos] == '[') {
        size_t end = line.find(']', pos);
        if (end != std::string::npos) {
            std::string inside = UpperCase(line.substr(pos + 1, end - pos - 1));
            size_t space = inside.find(' ');
            response->code = inside.substr(0, space);
            if (space != std::string::npos)
                response->codeArguments = inside.substr(space + 1);
            pos = end + 1;
            if (pos < line.size() && line[pos] == ' ')
                ++pos;
        }
    }
    response->text = pos < line.size() ? line.substr(pos) : std::string();
}

ResponseStatus StatusOf(const std::string& upperWord, bool tagged)
{
    if (upperWord == "OK")
        return StatusOk;
    if (upperWord == "NO")
        return StatusNo;
    if (upperWord == "BAD")
        return StatusBad;
    if (tagged)
        return StatusOther;
    if (upperWord == "BYE")
        return StatusBye;
    if (upperWord == "PREAUTH")
        return StatusPreauth;
    return StatusNone;
}

// The space-separated names of `upper`.
void TakeNames(const std::string& upper, std::vector<std::string>* names)
{
    names->clear();
    size_t pos = 0;
    while (pos < upper.size()) {
        std::string name = NextWord(upper, &pos);
        if (!name.empty())
            names->push_back(name);
    }
}

} // namespace

Response DecodeResponse(const std::string& line)
{
    Response response;
    if (line.empty())
        return response;
    if (line[0] == '+') {
        response.kind = ResponseContinuation;
        response.text = line.substr(line.size() > 1 && line[1] == ' ' ? 2 : 1);
        return response;
    }
    size_t pos = 0;
    if (line[0] == '*') {
        response.kind = ResponseUntagged;
        if (line.size() > 1 && line[1] != ' ') {
            // No space after the asterisk: untagged all the same, but none of
            // its words is read.
            response.text = line.substr(1);
            return response;
        }
        pos = 2;
        std::string word = NextWord(line, &pos);
        response.status = StatusOf(UpperCase(word), false);
        if (response.status != StatusNone) {
            TakeCodeAndText(line, pos, &response);
            return response;
        }
        if (IsNumber(word)) {
            response.numbered = true;
            response.number = SaturatedNumber(word);
            word = NextWord(line, &pos);
        }
        response.word = UpperCase(word);
        response.text = pos < line.size() ? line.substr(pos) : std::string();
        return response;
    }
    std::string tag = NextWord(line, &pos);
    if (!IsTag(tag))
        return response;
    response.kind = ResponseTagged;
    response.tag = tag;
    response.status = StatusOf(UpperCase(NextWord(line, &pos)), true);
    TakeCodeAndText(line, pos, &response);
    return response;
}

std::string CommandTag(int tagCounter)
{
    static const char digits[] = "0123456789ABCDEF";
    unsigned value = static_cast<unsigned>(tagCounter) & 0xFFF;
    std::string tag = "C";
    tag += digits[(value >> 8) & 0xF];
    tag += digits[(value >> 4) & 0xF];
    tag += digits[value & 0xF];
    return tag;
}

bool Completes(const Response& response, const std::string& tag)
{
    return response.kind == ResponseTagged && response.tag == tag;
}

bool IsCountOf(const Response& response, const char* word)
{
    return response.kind == ResponseUntagged && response.numbered && response.word == word &&
           response.text.empty();
}

bool IsBye(const Response& response)
{
    return response.kind == ResponseUntagged && response.status == StatusBye;
}

bool CapabilityCode(const Response& response, std::vector<std::string>* names)
{
    if ((response.status != StatusOk && response.status != StatusPreauth) || response.code != "CAPABILITY")
        return false;
    TakeNames(response.codeArguments, names);
    return true;
}

bool CapabilityData(const Response& response, std::vector<std::string>* names)
{
    if (response.kind != ResponseUntagged || response.status != StatusNone || response.numbered ||
        response.word != "CAPABILITY")
        return false;
    TakeNames(UpperCase(response.text), names);
    return true;
}

bool HasCapability(const std::vector<std::string>& names, const char* name)
{
    for (const std::string& each : names)
        if (each == name)
            return true;
    return false;
}

LoginAnswer ReadLoginAnswer(const Response& answer, bool byeSeen)
{
    switch (answer.status) {
    case StatusOk:
        return LoginAccepted;
    case StatusNo:
        // The response code tells a refusal for now from a wrong password
        // (RFC 5530).
        if (answer.code == "UNAVAILABLE" || answer.code == "LIMIT" || answer.code == "INUSE")
            return LoginRefusedForNow;
        if (answer.code == "PRIVACYREQUIRED")
            return LoginNeedsEncryption;
        if (byeSeen)
            return LoginRefusedForNow; // the server is going away
        return LoginRejected;
    default:
        // BAD, or an answer that says nothing about the password: the
        // account stays on.
        return LoginRefusedForNow;
    }
}

ArgumentForm FormOf(const std::string& text)
{
    if (text.empty())
        return QuotedForm;
    ArgumentForm form = AtomForm;
    for (unsigned char c : text) {
        if (c == '\r' || c == '\n' || c == '\0' || c >= 0x80)
            return LiteralForm;
        if (c < 0x20 || c == 0x7F || strchr(" \"\\(){}%*]", c) != NULL)
            form = QuotedForm;
    }
    return form;
}

std::vector<std::string> LoginPieces(const std::string& user, const std::string& password, std::string* masked)
{
    std::vector<std::string> pieces(1, "LOGIN ");
    AppendArgument(pieces, user);
    pieces.back() += ' ';
    // Traced as it goes out up to the password, which is masked.
    masked->clear();
    for (size_t i = 0; i < pieces.size(); ++i)
        *masked += pieces[i] + (i + 1 < pieces.size() ? "\r\n" : "");
    *masked += PasswordMask;
    AppendArgument(pieces, password);
    return pieces;
}
