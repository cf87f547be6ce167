#include "log/UTLogFormat.h"

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <charconv>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <cwchar>
#include <mutex>
#include <string_view>

#include <ace/ACE.h>
#include <ace/Basic_Types.h>
#include <ace/Log_Priority.h>
#include <ace/Log_Record.h>
#include <ace/OS_NS_Thread.h>
#include <ace/OS_NS_string.h>
#include <ace/OS_NS_sys_time.h>
#include <ace/OS_NS_unistd.h>
#include <ace/Time_Value.h>

#include "platform/UTPlatform.h"
#include "platform/UTTextCodec.h"

std::string NarrowForLog(const std::wstring& text) {
    std::string narrow;
    if (CUTPlatform::Current()->WideToLocaleCharset(text, &narrow)) {
        return narrow;
    }
    if (WideToUtf8(text, &narrow)) {
        return narrow;
    }
    narrow.clear();
    for (wchar_t c : text) {
        // Unsigned, so that this holds for a signed and an unsigned wchar_t.
        narrow.push_back(static_cast<uint32_t>(c) < 0x80 ? static_cast<char>(c) : '?');
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

// Flags, width and precision as ACE accepts them; ACE's "L" is printf's "l".
bool IsSpecCharacter(char c) {
    return std::strchr("-+ #0123456789.Lh", c) != nullptr && c != '\0';
}

// spec without its length modifiers, for conversions that take none.
std::string WithoutLengthModifiers(const std::string& spec) {
    std::string plain;
    for (char c : spec) {
        if (c != 'l' && c != 'h') {
            plain.push_back(c);
        }
    }
    return plain;
}

// A process or thread id with the flags and width of spec.
void PrintId(CUTRecordSink* sink, const std::string& spec, int id) {
    const std::string plain = WithoutLengthModifiers(spec);
    if (plain == "%") {
        sink->PrintDecimal(id);
    } else {
        sink->Print(plain + "d", id);
    }
}

void PrintInteger(CUTRecordSink* sink, const std::string& spec, char conversion, va_list* args) {
    const size_t longs = static_cast<size_t>(std::count(spec.begin(), spec.end(), 'l'));
    std::string plain = WithoutLengthModifiers(spec);
    if (plain == "%" && conversion == 'd') {
        sink->PrintDecimal(longs == 0   ? va_arg(*args, int)
                           : longs == 1 ? va_arg(*args, long)
                                        : va_arg(*args, long long));
        return;
    }
    if (longs == 0) {
        sink->Print(spec + conversion, va_arg(*args, int));
    } else if (longs == 1) {
        sink->Print(plain + "l" + conversion, va_arg(*args, long));
    } else {
        sink->Print(plain + "ll" + conversion, va_arg(*args, long long));
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
    const std::string plain = WithoutLengthModifiers(spec);
    if (plain == "%") {
        sink->Append(shown, std::strlen(shown));
        return;
    }
    sink->Print(plain + "s", shown);
}

// Wide text as narrow text of the locale's charset. Only as many characters
// are converted as can still be kept (each gives at least one byte), unless
// a precision or width asks for exact measures.
void PrintWideText(CUTRecordSink* sink, const std::string& spec, const wchar_t* text) {
    if (text == nullptr) {
        PrintText(sink, spec, nullptr);
        return;
    }
    size_t length = std::wcslen(text);
    length = std::min(length, sink->Room() + 1);
    const std::string narrow = NarrowForLog(EscapeForLog(std::wstring(text, length)));
    PrintText(sink, spec, narrow.c_str(), false);
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

void PrintTimestamp(CUTRecordSink* sink, const std::string& spec, char conversion, va_list* args) {
    char stamp[27] = {};
    bool made = false;
    if (spec.find('#') != std::string::npos) {
        const ACE_Time_Value* when = va_arg(*args, const ACE_Time_Value*);
        if (when != nullptr) {
            made = FormatTimestamp(*when, &stamp);
        }
    } else {
        made = FormatTimestamp(PlatformNow(), &stamp);
    }
    if (!made) {
        return;
    }
    std::string plain;
    for (char c : WithoutLengthModifiers(spec)) {
        if (c != '#') {
            plain.push_back(c);
        }
    }
    // %T: the time of day alone.
    sink->Print(plain + "s", conversion == 'T' ? stamp + 11 : stamp);
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

bool AppendLogRecord(std::string* out, size_t limit, unsigned long priority, const char* format,
                     va_list args) {
    CUTRecordSink sink(out, limit);
    if (format == nullptr) {
        return false;
    }
    // errno as the caller left it, for %m and %p.
    const int caller_errno = errno;
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
                spec.push_back(*p == 'L' ? 'l' : *p);
            } else if (*p == '*') {
                spec += std::to_string(va_arg(rest, int));
            } else {
                break;
            }
        }
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
                PrintInteger(&sink, spec, conversion, &rest);
                break;
            case 'c':
                sink.Print(WithoutLengthModifiers(spec) + "c", va_arg(rest, int));
                break;
            case 'w':
            case 'z':
                sink.Print(WithoutLengthModifiers(spec) + "u", va_arg(rest, unsigned int));
                break;
            case 'R':
                sink.Print(WithoutLengthModifiers(spec) + "d", va_arg(rest, int));
                break;
            case 'e':
            case 'E':
            case 'f':
            case 'F':
            case 'g':
            case 'G':
                sink.Print(WithoutLengthModifiers(spec) + conversion, va_arg(rest, double));
                break;
            case 'A':
                sink.Print(WithoutLengthModifiers(spec) + "f", va_arg(rest, double));
                break;
            case 's':
            case 'C':
                PrintText(&sink, spec, va_arg(rest, const char*));
                break;
            case 'W':
                PrintWideText(&sink, spec, va_arg(rest, const wchar_t*));
                break;
            case 'Q':
                sink.Print(WithoutLengthModifiers(spec) + "llu",
                           static_cast<unsigned long long>(va_arg(rest, ACE_UINT64)));
                break;
            case 'q':
                sink.Print(WithoutLengthModifiers(spec) + "lld",
                           static_cast<long long>(va_arg(rest, ACE_INT64)));
                break;
            case 'b':
                sink.Print(WithoutLengthModifiers(spec) + "zd", va_arg(rest, ssize_t));
                break;
            case 'B':
                sink.Print(WithoutLengthModifiers(spec) + "zu", va_arg(rest, size_t));
                break;
            case ':':
                sink.Print(WithoutLengthModifiers(spec) + "lld",
                           static_cast<long long>(va_arg(rest, time_t)));
                break;
            case '@':
                sink.Print(WithoutLengthModifiers(spec) + "p", va_arg(rest, void*));
                break;
            case 'S':
                PrintText(&sink, spec, ACE_OS::strsignal(va_arg(rest, int)));
                break;
            case 'P':
                PrintId(&sink, spec, LineProcessId());
                break;
            case 't':
                PrintId(&sink, spec, LineThreadId());
                break;
            case 'D':
            case 'T':
                PrintTimestamp(&sink, spec, conversion, &rest);
                break;
            case 'M':
                PrintText(&sink, spec,
                          ACE_Log_Record::priority_name(static_cast<ACE_Log_Priority>(priority)));
                break;
            case 'm':
                PrintText(&sink, spec, std::strerror(caller_errno));
                break;
            case 'p': {
                const char* text = va_arg(rest, const char*);
                PrintText(&sink, spec, text);
                sink.Append(": ");
                sink.Append(std::strerror(caller_errno));
                break;
            }
            case 'l':
                sink.Print(WithoutLengthModifiers(spec) + "d", 0);
                break;
            case 'N':
                PrintText(&sink, spec, "<unknown file>");
                break;
            case 'n':
                PrintText(&sink, spec, "<unknown>");
                break;
            case 'a':
                // ACE would abort the process here; a log line never does.
                va_arg(rest, int);
                sink.Append("Aborting...");
                break;
            case 'r':
                // ACE would call the function; a log line never runs code.
                va_arg(rest, void*);
                break;
            case 'I':
            case '{':
            case '}':
            case '$':
            case '?':
            case 'K':
                break;
            default:
                // Not a directive after all: copied as written.
                sink.Append(percent, static_cast<size_t>(p - percent));
                break;
        }
    }
    va_end(rest);
    errno = caller_errno;
    return sink.Cut();
}
