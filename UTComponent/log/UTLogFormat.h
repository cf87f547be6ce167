// Formatting of one log record with the logging backend's directives.
//
// The logger's callers write ACE's directives (%s, %W, %d, %x, %Q, %f, %@ and
// the rest of ACE's set; %D, %P and %t make the line prefix). ACE's own
// formatter is not used for the text itself, for two reasons: its %W
// converts with the C library under the host's LC_CTYPE and ends the record
// at the first character that charset lacks (under the C locale, any
// non-ASCII character), and its fixed buffer cannot tell a message that
// filled it exactly from a longer one it cut. Here each directive is handed
// to snprintf as ACE would hand it, wide text goes through NarrowForLog, and
// the caller learns whether text was really lost.
//
// Text given as an argument (%s, %W and the like) is written with its control
// characters escaped: a server's reply, a host's product name or a file name
// can neither forge a line nor send a terminal a control sequence. The
// format itself, tvUT's own text, is written as it stands.
//
// Directives that act on the process instead of formatting text are made
// harmless: %a writes "Aborting..." but never aborts the host, %r takes its
// function pointer but never calls it, indentation (%I, %{, %}, %$), stack
// traces (%?) and categories (%K) write nothing. A directive ACE does not
// know is copied as it stands, as ACE does.
//
// Pure functions: any thread may call them; nothing throws except
// std::bad_alloc.
#ifndef TVUT_LOG_UTLOGFORMAT_H
#define TVUT_LOG_UTLOGFORMAT_H

#include <cstdarg>
#include <cstddef>
#include <cstdint>
#include <string>

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
// of it. priority is the backend priority of the line (for %M). Returns true
// when the record was longer than limit, so that text was lost.
bool AppendLogRecord(std::string* out, size_t limit, unsigned long priority, const char* format,
                     va_list args);

// Appends the prefix of a log line, what AppendLogRecord would make of
// "%-6s | %D | pid:%P | tid:%t | " and level_name, without a pass over a
// format.
void AppendLinePrefix(std::string* out, const char* level_name);

#endif  // TVUT_LOG_UTLOGFORMAT_H
