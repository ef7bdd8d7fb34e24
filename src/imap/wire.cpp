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

} // namespace

bool TakeLine(std::string& partial, const char* data, size_t size, size_t* pos, std::string* line)
{
    while (*pos < size) {
        unsigned char c = static_cast<unsigned char>(data[(*pos)++]);
        if (c == '\n') {
            line->swap(partial);
            partial.clear();
            return true;
        }
        if (c >= 0x20 && c <= 0x7E && partial.size() < MaxLineBytes)
            partial += static_cast<char>(c);
    }
    return false;
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

bool IsTaggedWith(const std::string& line, const std::string& tag)
{
    return strncmp(line.c_str(), tag.c_str(), 4) == 0;
}

std::string StatusText(const std::string& line)
{
    return line.size() > 5 ? line.substr(5) : std::string();
}

bool StartsWith(const std::string& text, const char* prefix)
{
    size_t length = strlen(prefix);
    return text.size() >= length && text.compare(0, length, prefix) == 0;
}

bool Contains(const std::string& text, const char* word)
{
    return text.find(word) != std::string::npos;
}

int RecentCount(const std::string& line)
{
    int count = 0;
    for (size_t i = 2; i < line.size() && line[i] >= '0' && line[i] <= '9'; ++i) {
        int digit = line[i] - '0';
        count = count > (INT_MAX - digit) / 10 ? INT_MAX : count * 10 + digit;
    }
    return count;
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

// The space-separated names of upper[pos, end).
void TakeNames(const std::string& upper, size_t pos, size_t end, std::vector<std::string>* names)
{
    names->clear();
    while (pos < end) {
        while (pos < end && upper[pos] == ' ')
            ++pos;
        size_t wordEnd = pos;
        while (wordEnd < end && upper[wordEnd] != ' ')
            ++wordEnd;
        if (wordEnd > pos)
            names->push_back(upper.substr(pos, wordEnd - pos));
        pos = wordEnd;
    }
}

} // namespace

bool CapabilityLine(const std::string& line, std::vector<std::string>* names)
{
    std::string upper = UpperCase(line);
    if (!StartsWith(upper, "* CAPABILITY") || (upper.size() > 12 && upper[12] != ' '))
        return false;
    TakeNames(upper, 12, upper.size(), names);
    return true;
}

bool HasCapability(const std::vector<std::string>& names, const char* name)
{
    for (const std::string& each : names)
        if (each == name)
            return true;
    return false;
}

bool CapabilityCode(const std::string& line, std::vector<std::string>* names)
{
    // "* OK [CAPABILITY IMAP4rev1 IDLE ...] text" or "* PREAUTH [...]".
    std::string upper = UpperCase(line);
    size_t start;
    if (StartsWith(upper, "* OK ["))
        start = 6;
    else if (StartsWith(upper, "* PREAUTH ["))
        start = 11;
    else
        return false;
    if (upper.compare(start, 10, "CAPABILITY") != 0)
        return false;
    size_t end = upper.find(']', start);
    if (end == std::string::npos)
        return false;
    size_t pos = start + 10;
    if (pos < end && upper[pos] != ' ')
        return false; // "[CAPABILITYX ...]" is another code
    TakeNames(upper, pos, end, names);
    return true;
}


LoginAnswer ReadLoginAnswer(const std::string& status, bool byeSeen)
{
    if (StartsWith(status, "OK"))
        return LoginAccepted;
    if (StartsWith(status, "BAD"))
        return LoginRefusedForNow;
    if (StartsWith(status, "NO")) {
        // The response code right after "NO " (RFC 5530).
        std::string upper = UpperCase(status);
        if (upper.compare(2, 2, " [") == 0) {
            size_t end = upper.find(']', 4);
            std::string code = upper.substr(4, end == std::string::npos ? std::string::npos : end - 4);
            if (code == "UNAVAILABLE" || code == "LIMIT" || code == "INUSE")
                return LoginRefusedForNow;
            if (code == "PRIVACYREQUIRED")
                return LoginNeedsEncryption;
        }
        if (byeSeen)
            return LoginRefusedForNow; // the server is going away
    }
    return LoginRejected;
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
