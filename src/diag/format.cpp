#include "diag/format.h"

#include <stdio.h>
#include <string.h>

#include <vector>

void FormatStringV(std::string& out, const char* format, va_list arguments)
{
    // The bounded formatter answers -1 while the text does not fit, and
    // writes no terminating zero when the text fills the buffer exactly.
    std::vector<char> buffer(1000, '\0');
    for (;;) {
        va_list pass;
        va_copy(pass, arguments);
        int length = _vsnprintf(buffer.data(), buffer.size(), format, pass);
        va_end(pass);
        if (length != -1)
            break;
        buffer.assign(buffer.size() * 2, '\0');
    }
    buffer.push_back('\0');
    out.assign(buffer.data(), strlen(buffer.data()));
}

void FormatString(std::string& out, const char* format, ...)
{
    va_list arguments;
    va_start(arguments, format);
    FormatStringV(out, format, arguments);
    va_end(arguments);
}
