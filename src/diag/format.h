// printf-style formatting into an owned string of any length.
#pragma once

#include <stdarg.h>

#include <string>

// Replaces out with the formatted text. Formats are the plug-in's own, never
// text from the wire.
void FormatString(std::string& out, const char* format, ...);
void FormatStringV(std::string& out, const char* format, va_list arguments);
