// Formatting of one log record with printf's directives.
//
// The logger's callers write printf's directives, with printf's meanings, so
// that the compiler checks every call (TVUT_PRINTF_FORMAT): %d, %i, %u, %x,
// %X, %o with the length modifiers hh, h, l, ll, j, z and t (64-bit values as
// %lld or %llu of a long long or unsigned long long), %c, %s, %ls and %S (wide
// text), %lc and %C, %e, %f, %g, %a and their capitals (L for a long double),
// %p, %m (the text of the system error the caller left) and %%, with flags, widths
// and precisions, "*" included. The line prefix is not made here
// (AppendLinePrefix). The C library's formatter is not used for the record as
// a whole, for two reasons: its %ls converts under the host's LC_CTYPE and
// fails for the whole record at the first character that charset lacks
// (under the C locale, any non-ASCII character), and a fixed buffer cannot
// tell a message that filled it exactly from a longer one it cut. Here each
// directive is handed to snprintf on its own, wide text goes through
// NarrowForLog, and the caller learns whether text was really lost.
//
// Text given as an argument (%s, %ls and the like) is written with its
// control characters escaped: a server's reply, a host's product name or a
// file name can neither forge a line nor send a terminal a control sequence.
// The format itself, tvUT's own text, is written as it stands, and so is a
// %c.
//
// %n writes nothing and stores nothing: a log line never writes to the
// caller's memory. A directive printf does not know is copied as it stands
// and takes no argument.
//
// Pure functions: any thread may call them; nothing throws except
// std::bad_alloc.
#ifndef TVUT_LOG_UTLOGFORMAT_H
#define TVUT_LOG_UTLOGFORMAT_H

#include <cstdarg>
#include <cstddef>
#include <cstdint>
#include <string>

#include "log/UTFormatCheck.h"

// Wide text in the charset of the host's locale (LC_CTYPE), with '?' for
// each character that charset lacks; UTF-8 when no conversion is available.
std::string NarrowForLog(const std::wstring& text);

// text with line breaks as "\n" and "\r", other C0 controls and DEL as
// "\xHH", C1 controls as "\u00HH" and bytes that are not UTF-8 as "\xHH";
// empty when nothing needs escaping (the text is then used as it is).
std::string EscapeForLog(const char* text);
// The same for wide text (control characters only); text itself when nothing
// needs escaping.
std::wstring EscapeForLog(const std::wstring& text);

// Appends the record that format and args make to *out, at most limit bytes
// of it. priority is the backend priority of the line; no directive shows it
// any longer. Returns true when the record was longer than limit, so that
// text was lost.
bool AppendLogRecord(std::string* out, size_t limit, unsigned long priority, const char* format,
                     va_list args) TVUT_PRINTF_FORMAT(4, 0);

// Appends the prefix of a log line, what AppendLogRecord would make of
// "%-6s | %D | pid:%P | tid:%t | " and level_name, without a pass over a
// format.
void AppendLinePrefix(std::string* out, const char* level_name);

#endif  // TVUT_LOG_UTLOGFORMAT_H
