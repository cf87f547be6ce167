#include "log/UTException.h"

#include "base/UTTextCodec.h"
#include "log/UTLoggerManager.h"

CUTException::CUTException(int code, const wchar_t* message, CUTException* inner)
    : code_(code), message_(message != nullptr ? message : L""), inner_(inner) {}

CUTException::CUTException(const CUTException& other)
    : CUTObject(other), code_(other.code_), message_(other.message_), inner_(other.inner_) {}

CUTException& CUTException::operator=(const CUTException& other) {
    code_ = other.code_;
    message_ = other.message_;
    inner_ = other.inner_;
    return *this;
}

CUTException::~CUTException() = default;

void LogExceptionChain(const CUTException& exception) {
    try {
        CUTLoggerManager* logger = CUTLoggerManager::GetInstance();
        if (logger == nullptr) {
            return;
        }
        for (const CUTException* e = &exception; e != nullptr; e = e->Inner().get()) {
            int level;
            switch (e->Code()) {
                case UT_SEVERITY_INFO:
                    level = UT_LOG_INFO;
                    break;
                case UT_SEVERITY_WARNING:
                    level = UT_LOG_WARNING;
                    break;
                case UT_SEVERITY_ERROR:
                    level = UT_LOG_ERROR;
                    break;
                default:
                    continue;
            }
            logger->LogWString(level, e->Message().c_str());
        }
    } catch (...) {
        // Logging never throws to its caller.
    }
}

void ThrowCommException(const std::wstring& message, int severity) {
    throw CUTCommException(severity, message.c_str());
}

void ThrowCommException(const std::wstring& prefix, const std::string& detail, int severity) {
    // A transfer library's error text is narrow and ASCII in practice. Text
    // that is not valid UTF-8 is widened byte by byte, so the detail is never
    // lost from the message.
    std::wstring wide;
    if (!Utf8ToWide(detail, &wide)) {
        wide.clear();
        for (char c : detail) {
            wide.push_back(static_cast<wchar_t>(static_cast<unsigned char>(c)));
        }
    }
    ThrowCommException(prefix, wide, severity);
}

void ThrowCommException(const std::wstring& prefix, const std::wstring& detail, int severity) {
    throw CUTCommException(severity, (prefix + detail).c_str());
}
