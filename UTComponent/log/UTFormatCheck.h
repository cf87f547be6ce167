// TVUT_PRINTF_FORMAT: makes the compiler check the calls of a printf-style
// function of the component against its arguments, as it checks printf's.
// The logger's formatter takes printf's directives with printf's meanings
// (UTLogFormat.h), so a directive the compiler accepts is one the formatter
// reads with the argument's own type, and a "%s" given an int is a build
// error (warnings are errors) instead of a crashed host.
//
// format_index and first_arg count from 1, the object of a member function
// included; first_arg is 0 for a function that takes a va_list. GCC is told
// gnu_printf, so that a MinGW build checks against the GNU set (%lld, %zu,
// %ls) that the formatter takes, not the C runtime's own printf; clang knows
// only printf, which is the same set there. Other compilers check nothing.
#ifndef TVUT_LOG_UTFORMATCHECK_H
#define TVUT_LOG_UTFORMATCHECK_H

#if defined(__clang__)
#define TVUT_PRINTF_FORMAT(format_index, first_arg) \
    __attribute__((format(printf, format_index, first_arg)))
#elif defined(__GNUC__)
#define TVUT_PRINTF_FORMAT(format_index, first_arg) \
    __attribute__((format(gnu_printf, format_index, first_arg)))
#else
#define TVUT_PRINTF_FORMAT(format_index, first_arg)
#endif

#endif  // TVUT_LOG_UTFORMATCHECK_H
