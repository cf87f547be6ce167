// Text literals and strings of the host's own type (kormCHAR): char16_t on
// Linux, wchar_t on Windows, so a u"..." literal is the host's text on one
// system only. HOST_TEXT("abc") and HOST_TEXT('a') give the literal of the
// system the tests are built for; HostString holds such text.
#ifndef TVUT_TESTS_SUPPORT_HOSTTEXT_H
#define TVUT_TESTS_SUPPORT_HOSTTEXT_H

#include <string>

#include <tvUT/UTTypes.h>

#if defined(_WIN32)
#define HOST_TEXT(literal) L##literal
#else
#define HOST_TEXT(literal) u##literal
#endif

namespace tvut_test {

typedef std::basic_string<kormCHAR> HostString;

}  // namespace tvut_test

#endif  // TVUT_TESTS_SUPPORT_HOSTTEXT_H
