// The component's exceptions and the helpers that throw and log them.
//
// CUTException carries a severity (0 informational, 1 warning, 2 error; the
// component always throws 2), a wide message and an optional inner exception
// shared between copies. CUTCommException marks failures of the
// communication code, whose handlers catch it before CUTException. They are
// thrown inside the communication and serialisation code only and never
// cross the facade.
#ifndef TVUT_LOG_UTEXCEPTION_H
#define TVUT_LOG_UTEXCEPTION_H

#include <memory>
#include <string>

#include <tvUT/UTObject.h>

enum UTSeverity { UT_SEVERITY_INFO = 0, UT_SEVERITY_WARNING = 1, UT_SEVERITY_ERROR = 2 };

class CUTException : public CUTObject {
public:
    // Takes ownership of inner (may be null); message may be null.
    CUTException(int code, const wchar_t* message, CUTException* inner);
    CUTException(const CUTException& other);
    CUTException& operator=(const CUTException& other);
    ~CUTException() override;

    int Code() const { return code_; }
    const std::wstring& Message() const { return message_; }
    const std::shared_ptr<CUTException>& Inner() const { return inner_; }

private:
    int code_;
    std::wstring message_;
    std::shared_ptr<CUTException> inner_;
};

class CUTCommException : public CUTException {
public:
    CUTCommException(int code, const wchar_t* message, CUTException* inner = nullptr)
        : CUTException(code, message, inner) {}
};

// Logs the exception and every inner one, each at the level of its severity
// (0 -> Info, 1 -> Warning, 2 -> Error); other codes are skipped.
void LogExceptionChain(const CUTException& exception);

// Throw a CUTCommException; the second form appends detail right after prefix.
[[noreturn]] void ThrowCommException(const std::wstring& message, int severity = UT_SEVERITY_ERROR);
[[noreturn]] void ThrowCommException(const std::wstring& prefix, const std::string& detail,
                                     int severity = UT_SEVERITY_ERROR);
[[noreturn]] void ThrowCommException(const std::wstring& prefix, const std::wstring& detail,
                                     int severity = UT_SEVERITY_ERROR);

#endif  // TVUT_LOG_UTEXCEPTION_H
