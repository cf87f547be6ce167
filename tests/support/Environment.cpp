#include "support/Environment.h"

#include <cstdlib>

#ifdef _WIN32
#include <windows.h>

#include "base/UTTextCodec.h"
#endif

namespace tvut_test {

#ifdef _WIN32
void SetVariable(const char* name, const std::string& value) {
    _putenv_s(name, value.c_str());
    ::SetEnvironmentVariableW(FromUtf8(name).c_str(), FromUtf8(value).c_str());
}

void UnsetVariable(const char* name) {
    _putenv_s(name, "");
    ::SetEnvironmentVariableW(FromUtf8(name).c_str(), nullptr);
}
#else
void SetVariable(const char* name, const std::string& value) {
    ::setenv(name, value.c_str(), 1);
}

void UnsetVariable(const char* name) {
    ::unsetenv(name);
}
#endif

SavedVariable::SavedVariable(const char* name) : name_(name) {
    const char* value = std::getenv(name);
    had_ = value != nullptr;
    old_ = had_ ? value : "";
}

SavedVariable::~SavedVariable() {
    if (had_) {
        SetVariable(name_, old_);
    } else {
        UnsetVariable(name_);
    }
}

}  // namespace tvut_test
