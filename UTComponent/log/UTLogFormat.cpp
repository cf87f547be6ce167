#include "log/UTLogFormat.h"

#include <algorithm>
#include <atomic>
#include <charconv>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <cwchar>
#include <mutex>
#include <string_view>
#include <type_traits>

#include <ace/OS_NS_Thread.h>
#include <ace/OS_NS_sys_time.h>
#include <ace/OS_NS_unistd.h>
#include <ace/Time_Value.h>

#include "base/UTTextCodec.h"
#include "platform/UTPlatform.h"

std::string NarrowForLog(const std::wstring& text) {
    std::string narrow;
    if (CUTPlatform::Current()->WideToLocaleCharset(text, &narrow)) {
        return narrow;
    }
    if (WideToUtf8(text, &narrow)) {
        return narrow;
    }
    narrow.clear();
    // One '?' a character, a surrogate pair included.
    for (size_t i = 0; i < text.size();) {
        char32_t code = 0;
        i += WideCharacterAt(text, i, &code);
        narrow.push_back(code < 0x80 ? static_cast<char>(code) : '?');
    }
    return narrow;
}

namespace {

// C0 controls but tab, DEL and the C1 controls: what ends a line or starts a
// terminal's control sequence.
bool IsControl(uint32_t c) {
    return (c < 0x20 && c != '\t') || (c >= 0x7F && c <= 0x9F);
}

// c as an escape: "\\xHH" for a byte, "\\u00HH" for a C1 character.
void AppendEscape(std::string* out, uint32_t c, bool byte) {
    static const char kHex[] = "0123456789ABCDEF";
    switch (c) {
        case '\n':
            out->append("\\n");
            return;
        case '\r':
            out->append("\\r");
            return;
        default:
            break;
    }
    out->append(byte ? "\\x" : "\\u00");
    out->push_back(kHex[(c >> 4) & 0xF]);
    out->push_back(kHex[c & 0xF]);
}

}  // namespace

std::string EscapeForLog(const char* text) {
    const size_t size = std::strlen(text);
    std::string out;
    bool escaped = false;
    for (size_t i = 0; i < size;) {
        char32_t code = 0;
        size_t length = Utf8SequenceAt(text + i, size - i, &code);
        if (length == 0) {
            // Not UTF-8 (or text in the locale's charset): the byte alone. One
            // in the C1 range is a control to an 8-bit terminal; others stay.
            code = static_cast<unsigned char>(text[i]);
            length = 1;
        }
        if (IsControl(code)) {
            if (!escaped) {
                out.assign(text, i);
                escaped = true;
            }
            AppendEscape(&out, code, length == 1);
        } else if (escaped) {
            out.append(text + i, length);
        }
        i += length;
    }
    return out;
}

std::wstring EscapeForLog(const std::wstring& text) {
    size_t first = 0;
    while (first < text.size() && !IsControl(static_cast<uint32_t>(text[first]))) {
        ++first;
    }
    if (first == text.size()) {
        return text;
    }
    std::wstring out = text.substr(0, first);
    for (size_t i = first; i < text.size(); ++i) {
        const uint32_t c = static_cast<uint32_t>(text[i]);
        if (IsControl(c)) {
            std::string escape;
            AppendEscape(&escape, c, c < 0x80);
            out.append(escape.begin(), escape.end());
        } else {
            out.push_back(text[i]);
        }
    }
    return out;
}

namespace {

// The process and thread ids of a line, asked of the system once per process
// and per thread rather than twice per line. A forked child forgets both (its
// forking thread is the child's only one).
std::atomic<int> g_process_id{0};
thread_local int t_thread_id = 0;

void ForgetIdsInForkedChild() {
    g_process_id.store(0, std::memory_order_relaxed);
    t_thread_id = 0;
}

int LineProcessId() {
    static std::once_flag watching;
    std::call_once(watching, [] { CallInForkedChild(ForgetIdsInForkedChild); });
    int id = g_process_id.load(std::memory_order_relaxed);
    if (id == 0) {
        id = CurrentProcessId();
        g_process_id.store(id, std::memory_order_relaxed);
    }
    return id;
}

int LineThreadId() {
    if (t_thread_id == 0) {
        LineProcessId();  // makes sure a fork is watched
        t_thread_id = static_cast<int>(CurrentThreadId());
    }
    return t_thread_id;
}

// The platform's clock, so that a test that sets it sees it in every line. A
// line is never lost to a clock that throws (a wrapper's fault): the system's
// own time stands in.
ACE_Time_Value PlatformNow() noexcept {
    try {
        const int64_t nanos = CUTPlatform::Current()->CurrentTimeNanos();
        return ACE_Time_Value(static_cast<time_t>(nanos / 1000000000),
                              static_cast<suseconds_t>((nanos % 1000000000) / 1000));
    } catch (...) {
        return ACE_OS::gettimeofday();
    }
}

// value in decimal, as a plain "%d" writes it, in *digits.
std::string_view Decimal(long long value, char (*digits)[24]) {
    const std::to_chars_result done = std::to_chars(*digits, *digits + sizeof *digits, value);
    return std::string_view(*digits, static_cast<size_t>(done.ptr - *digits));
}

// Collects the record up to its limit and remembers whether more was offered.
class CUTRecordSink {
public:
    CUTRecordSink(std::string* out, size_t limit)
        : out_(out), limit_(out->size() + limit), cut_(false) {}

    size_t Room() const { return limit_ - out_->size(); }
    bool Cut() const { return cut_; }

    void Append(const char* text, size_t size) {
        const size_t room = Room();
        if (size > room) {
            out_->append(text, room);
            cut_ = true;
        } else {
            out_->append(text, size);
        }
    }
    void Append(const std::string& text) { Append(text.data(), text.size()); }

    // One printf conversion with one argument. Only as much is formatted as
    // can still be kept, plus one byte to learn that the record was cut, so
    // that a huge width or text costs no more than the record.
    template <typename T>
    void Print(const std::string& spec, T value) {
        char small[256];
        const int length = std::snprintf(small, sizeof small, spec.c_str(), value);
        if (length < 0) {
            return;
        }
        const size_t full = static_cast<size_t>(length);
        if (full < sizeof small) {
            Append(small, full);
            return;
        }
        const size_t wanted = std::min(full, Room() + 1);
        std::string big(wanted + 1, '\0');
        std::snprintf(&big[0], big.size(), spec.c_str(), value);
        Append(big.data(), wanted);
    }

    // A plain "%d": what snprintf would write, without its parse.
    void PrintDecimal(long long value) {
        char digits[24];
        const std::string_view text = Decimal(value, &digits);
        Append(text.data(), text.size());
    }

private:
    std::string* out_;
    size_t limit_;
    bool cut_;
};

// printf's length modifiers, by the type of argument they announce.
enum class UTLength { kNone, kChar, kShort, kLong, kLongLong, kMax, kSize, kPtrdiff, kLongDouble };

// The modifier as snprintf takes it ("q" and "Z" are spelt "ll" and "z").
const char* LengthText(UTLength length) {
    switch (length) {
        case UTLength::kChar:
            return "hh";
        case UTLength::kShort:
            return "h";
        case UTLength::kLong:
            return "l";
        case UTLength::kLongLong:
        case UTLength::kLongDouble:  // an integer with "L" is a long long to glibc
            return "ll";
        case UTLength::kMax:
            return "j";
        case UTLength::kSize:
            return "z";
        case UTLength::kPtrdiff:
            return "t";
        case UTLength::kNone:
            break;
    }
    return "";
}

// Reads the length modifier at *p and moves past it.
UTLength TakeLength(const char** p) {
    const char* at = *p;
    UTLength length = UTLength::kNone;
    switch (*at) {
        case 'h':
            length = at[1] == 'h' ? UTLength::kChar : UTLength::kShort;
            break;
        case 'l':
            length = at[1] == 'l' ? UTLength::kLongLong : UTLength::kLong;
            break;
        case 'q':
            length = UTLength::kLongLong;
            break;
        case 'L':
            length = UTLength::kLongDouble;
            break;
        case 'j':
            length = UTLength::kMax;
            break;
        case 'z':
        case 'Z':
            length = UTLength::kSize;
            break;
        case 't':
            length = UTLength::kPtrdiff;
            break;
        default:
            return UTLength::kNone;
    }
    *p += (length == UTLength::kChar || (length == UTLength::kLongLong && *at == 'l')) ? 2 : 1;
    return length;
}

// Flags, width and precision; the widths and precisions given as "*" are
// read by the caller.
bool IsSpecCharacter(char c) {
    return c != '\0' && std::strchr("-+ #0'I123456789.", c) != nullptr;
}

// An integer argument, read as the type its length modifier announces, signed
// for %d and %i and unsigned for the others.
void PrintInteger(CUTRecordSink* sink, const std::string& spec, UTLength length, char conversion,
                  va_list* args) {
    const bool is_signed = conversion == 'd' || conversion == 'i';
    if (is_signed && spec == "%") {
        // The common "%d": no parse of a format by snprintf.
        switch (length) {
            case UTLength::kLong:
                sink->PrintDecimal(va_arg(*args, long));
                return;
            case UTLength::kLongLong:
            case UTLength::kLongDouble:
                sink->PrintDecimal(va_arg(*args, long long));
                return;
            case UTLength::kNone:
                sink->PrintDecimal(va_arg(*args, int));
                return;
            default:
                break;
        }
    }
    const std::string full = spec + LengthText(length) + conversion;
    switch (length) {
        case UTLength::kNone:
        case UTLength::kChar:
        case UTLength::kShort:
            // Promoted to int through the "...".
            if (is_signed) {
                sink->Print(full, va_arg(*args, int));
            } else {
                sink->Print(full, va_arg(*args, unsigned int));
            }
            return;
        case UTLength::kLong:
            if (is_signed) {
                sink->Print(full, va_arg(*args, long));
            } else {
                sink->Print(full, va_arg(*args, unsigned long));
            }
            return;
        case UTLength::kLongLong:
        case UTLength::kLongDouble:
            if (is_signed) {
                sink->Print(full, va_arg(*args, long long));
            } else {
                sink->Print(full, va_arg(*args, unsigned long long));
            }
            return;
        case UTLength::kMax:
            if (is_signed) {
                sink->Print(full, va_arg(*args, intmax_t));
            } else {
                sink->Print(full, va_arg(*args, uintmax_t));
            }
            return;
        case UTLength::kSize:
            if (is_signed) {
                sink->Print(full, va_arg(*args, std::make_signed_t<size_t>));
            } else {
                sink->Print(full, va_arg(*args, size_t));
            }
            return;
        case UTLength::kPtrdiff:
            sink->Print(full, va_arg(*args, ptrdiff_t));
            return;
    }
}

// escape is false for text already escaped in its wide form (now in the
// locale's charset, whose bytes need not be UTF-8).
void PrintText(CUTRecordSink* sink, const std::string& spec, const char* text, bool escape = true) {
    if (text == nullptr) {
        text = "(null)";
    }
    const std::string escaped = escape ? EscapeForLog(text) : std::string();
    const char* shown = escaped.empty() ? text : escaped.c_str();
    if (spec == "%") {
        sink->Append(shown, std::strlen(shown));
        return;
    }
    sink->Print(spec + "s", shown);
}

// Wide text as narrow text of the locale's charset. Only as many characters
// are converted as can still be kept (each gives at least one byte), and
// never half of a surrogate pair.
void PrintWideText(CUTRecordSink* sink, const std::string& spec, const wchar_t* text) {
    if (text == nullptr) {
        PrintText(sink, spec, nullptr);
        return;
    }
    const size_t length = std::wcslen(text);
    const size_t kept = WideUnitsOfCharacters(text, length, sink->Room() + 1);
    const std::string narrow = NarrowForLog(EscapeForLog(std::wstring(text, kept)));
    PrintText(sink, spec, narrow.c_str(), false);
}

// A wide character argument (%lc): promoted to int where wint_t is narrower.
void PrintWideCharacter(CUTRecordSink* sink, const std::string& spec, va_list* args) {
    using Promoted = std::conditional_t<(sizeof(wint_t) < sizeof(int)), int, wint_t>;
    const wchar_t text[2] = {static_cast<wchar_t>(va_arg(*args, Promoted)), L'\0'};
    PrintWideText(sink, spec, text);
}

// "YYYY-MM-DD HH:MM:SS.uuuuuu" in local time, as the backend writes it, made
// through the platform's one lock on the time zone.
bool FormatTimestamp(const ACE_Time_Value& when, char (*stamp)[27]) {
    // The date and time of day change once a second (or with TZ): made then,
    // under the lock, and only the microseconds for every line.
    struct SecondText {
        int64_t second = -1;
        std::string zone;
        char text[20] = {};
    };
    static std::mutex mutex;
    static SecondText last;
    const int64_t second = static_cast<int64_t>(when.sec());
    const char* zone = ::getenv("TZ");
    char text[20];
    {
        std::lock_guard<std::mutex> lock(mutex);
        if (second != last.second || last.zone != (zone != nullptr ? zone : "")) {
            std::tm local = {};
            if (!ToLocalTime(second, &local)) {
                return false;
            }
            // Each field within its width, so that the stamp fits whatever tm says.
            auto field = [](int value, unsigned modulus) {
                return static_cast<unsigned>(value < 0 ? 0 : value) % modulus;
            };
            std::snprintf(last.text, sizeof last.text, "%04u-%02u-%02u %02u:%02u:%02u",
                          field(local.tm_year + 1900, 10000), field(local.tm_mon + 1, 100),
                          field(local.tm_mday, 100), field(local.tm_hour, 100),
                          field(local.tm_min, 100), field(local.tm_sec, 100));
            last.second = second;
            last.zone = zone != nullptr ? zone : "";
        }
        std::memcpy(text, last.text, sizeof text);
    }
    std::memcpy(*stamp, text, 19);
    (*stamp)[19] = '.';
    unsigned micros = static_cast<unsigned>(when.usec()) % 1000000;
    for (int i = 25; i >= 20; --i) {
        (*stamp)[i] = static_cast<char>('0' + micros % 10);
        micros /= 10;
    }
    (*stamp)[26] = '\0';
    return true;
}

}  // namespace

void AppendLinePrefix(std::string* out, const char* level_name) {
    const size_t name_length = std::strlen(level_name);
    out->append(level_name, name_length);
    out->append(name_length < 6 ? 6 - name_length : 0, ' ');
    out->append(" | ");
    char stamp[27] = {};
    if (FormatTimestamp(PlatformNow(), &stamp)) {
        out->append(stamp);
    }
    char digits[24];
    out->append(" | pid:");
    out->append(Decimal(LineProcessId(), &digits));
    out->append(" | tid:");
    out->append(Decimal(LineThreadId(), &digits));
    out->append(" | ");
}

bool AppendLogRecord(std::string* out, size_t limit, unsigned long /*priority*/, const char* format,
                     va_list args) {
    CUTRecordSink sink(out, limit);
    if (format == nullptr) {
        return false;
    }
    // The system error as the caller left it, for %m; left so again.
    const int caller_error = LastOsErrorCode();
    va_list rest;
    va_copy(rest, args);
    const char* p = format;
    while (*p != '\0' && !(sink.Room() == 0 && sink.Cut())) {
        const char* percent = std::strchr(p, '%');
        if (percent == nullptr) {
            sink.Append(p, std::strlen(p));
            break;
        }
        sink.Append(p, static_cast<size_t>(percent - p));
        if (percent[1] == '%') {
            sink.Append("%", 1);
            p = percent + 2;
            continue;
        }
        std::string spec = "%";
        p = percent + 1;
        for (;; ++p) {
            if (IsSpecCharacter(*p)) {
                spec.push_back(*p);
            } else if (*p == '*') {
                const int value = va_arg(rest, int);
                if (spec.back() == '.' && value < 0) {
                    spec.pop_back();  // a negative precision is none
                } else {
                    spec += std::to_string(value);
                }
            } else {
                break;
            }
        }
        const UTLength length = TakeLength(&p);
        const char conversion = *p;
        if (conversion == '\0') {
            sink.Append(percent, static_cast<size_t>(p - percent));
            break;
        }
        ++p;
        switch (conversion) {
            case 'd':
            case 'i':
            case 'o':
            case 'u':
            case 'x':
            case 'X':
                PrintInteger(&sink, spec, length, conversion, &rest);
                break;
            case 'c':
                if (length == UTLength::kLong) {
                    PrintWideCharacter(&sink, spec, &rest);
                } else {
                    sink.Print(spec + "c", va_arg(rest, int));
                }
                break;
            case 'C':
                PrintWideCharacter(&sink, spec, &rest);
                break;
            case 's':
                if (length == UTLength::kLong) {
                    PrintWideText(&sink, spec, va_arg(rest, const wchar_t*));
                } else {
                    PrintText(&sink, spec, va_arg(rest, const char*));
                }
                break;
            case 'S':
                PrintWideText(&sink, spec, va_arg(rest, const wchar_t*));
                break;
            case 'e':
            case 'E':
            case 'f':
            case 'F':
            case 'g':
            case 'G':
            case 'a':
            case 'A':
                if (length == UTLength::kLongDouble) {
                    sink.Print(spec + "L" + conversion, va_arg(rest, long double));
                } else {
                    sink.Print(spec + conversion, va_arg(rest, double));
                }
                break;
            case 'p':
                sink.Print(spec + "p", va_arg(rest, void*));
                break;
            case 'n':
                // printf would store the count through the pointer; a log
                // line never writes to the caller's memory.
                va_arg(rest, void*);
                break;
            case 'm':
                PrintText(&sink, spec, OsErrorText(caller_error).c_str());
                break;
            default:
                // Not a directive after all: copied as written, and it takes
                // no argument.
                sink.Append(percent, static_cast<size_t>(p - percent));
                break;
        }
    }
    va_end(rest);
    RestoreOsErrorCode(caller_error);
    return sink.Cut();
}
