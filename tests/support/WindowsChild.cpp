#include "support/WindowsChild.h"

// Windows only; the Linux suite's build takes every file of this folder and
// finds nothing here.
#ifdef _WIN32

// windows.h first: the other system headers build on it.
#include <windows.h>

#include <cstdint>
#include <cwctype>
#include <map>
#include <string>

#include "base/UTTextCodec.h"

namespace tvut_test {

namespace {

const char kReadyVariable[] = "TVUT_CHILD_READY";
const char kGoVariable[] = "TVUT_CHILD_GO";

// Environment names are compared without case on Windows.
struct NoCaseLess {
    bool operator()(const std::wstring& a, const std::wstring& b) const {
        const size_t common = a.size() < b.size() ? a.size() : b.size();
        for (size_t i = 0; i < common; ++i) {
            const wint_t x = std::towupper(a[i]);
            const wint_t y = std::towupper(b[i]);
            if (x != y) {
                return x < y;
            }
        }
        return a.size() < b.size();
    }
};

// The parent's environment with the variables added or replaced, as the
// block CreateProcessW takes (sorted, each "name=value" ends in a zero, and
// one more zero at the end).
std::wstring EnvironmentBlock(const WindowsChild::Variables& variables) {
    std::map<std::wstring, std::wstring, NoCaseLess> entries;
    wchar_t* own = ::GetEnvironmentStringsW();
    for (const wchar_t* entry = own; entry != nullptr && *entry != L'\0';
         entry += std::wcslen(entry) + 1) {
        const std::wstring text(entry);
        // Names of the drives' current folders ("=C:=C:\...") start with "=".
        const size_t equals = text.find(L'=', 1);
        if (equals != std::wstring::npos) {
            entries[text.substr(0, equals)] = text.substr(equals + 1);
        }
    }
    if (own != nullptr) {
        ::FreeEnvironmentStringsW(own);
    }
    for (const auto& variable : variables) {
        entries[FromUtf8(variable.first)] = FromUtf8(variable.second);
    }
    std::wstring block;
    for (const auto& entry : entries) {
        block += entry.first + L"=" + entry.second;
        block.push_back(L'\0');
    }
    block.push_back(L'\0');
    return block;
}

std::wstring ThisProgram() {
    std::wstring path(MAX_PATH, L'\0');
    for (;;) {
        const DWORD length =
            ::GetModuleFileNameW(nullptr, &path[0], static_cast<DWORD>(path.size()));
        if (length == 0) {
            return std::wstring();
        }
        if (length < path.size()) {
            path.resize(length);
            return path;
        }
        path.assign(path.size() * 2, L'\0');
    }
}

std::string HandleText(HANDLE handle) {
    return std::to_string(reinterpret_cast<uintptr_t>(handle));
}

HANDLE HandleFromEnvironment(const char* name) {
    const std::string text = RoleArgument(name);
    if (text.empty()) {
        return nullptr;
    }
    return reinterpret_cast<HANDLE>(static_cast<uintptr_t>(std::stoull(text)));
}

HANDLE InheritableEvent() {
    SECURITY_ATTRIBUTES attributes = {};
    attributes.nLength = sizeof(attributes);
    attributes.bInheritHandle = TRUE;
    return ::CreateEventW(&attributes, TRUE, FALSE, nullptr);
}

// An inheritable copy of one of the parent's standard handles; null when it
// has none.
HANDLE InheritableCopy(DWORD which) {
    HANDLE own = ::GetStdHandle(which);
    HANDLE copy = nullptr;
    if (own == nullptr || own == INVALID_HANDLE_VALUE ||
        !::DuplicateHandle(::GetCurrentProcess(), own, ::GetCurrentProcess(), &copy, 0, TRUE,
                           DUPLICATE_SAME_ACCESS)) {
        return nullptr;
    }
    return copy;
}

DWORD Milliseconds(std::chrono::milliseconds limit) {
    return static_cast<DWORD>(limit.count());
}

}  // namespace

WindowsChild::WindowsChild(const std::string& role, const Variables& variables) {
    ready_ = InheritableEvent();
    go_ = InheritableEvent();
    HANDLE output = InheritableCopy(STD_OUTPUT_HANDLE);
    HANDLE errors = InheritableCopy(STD_ERROR_HANDLE);
    std::vector<HANDLE> inherited = {ready_, go_};
    for (HANDLE handle : {output, errors}) {
        if (handle != nullptr) {
            inherited.push_back(handle);
        }
    }

    Variables all = variables;
    all.emplace_back(kReadyVariable, HandleText(ready_));
    all.emplace_back(kGoVariable, HandleText(go_));
    std::wstring environment = EnvironmentBlock(all);
    std::wstring command = L"\"" + ThisProgram() + L"\" --gtest_filter=WindowsChild.DISABLED_" +
                           FromUtf8(role) + L" --gtest_also_run_disabled_tests";

    // Only the handles listed are inherited, whatever else of the test
    // process is inheritable.
    SIZE_T size = 0;
    ::InitializeProcThreadAttributeList(nullptr, 1, 0, &size);
    std::string list_memory(size, '\0');
    auto* list = reinterpret_cast<LPPROC_THREAD_ATTRIBUTE_LIST>(&list_memory[0]);
    STARTUPINFOEXW startup = {};
    startup.StartupInfo.cb = sizeof(startup);
    startup.StartupInfo.dwFlags = STARTF_USESTDHANDLES;
    startup.StartupInfo.hStdInput = nullptr;
    startup.StartupInfo.hStdOutput = output;
    startup.StartupInfo.hStdError = errors;
    if (ready_ == nullptr || go_ == nullptr ||
        !::InitializeProcThreadAttributeList(list, 1, 0, &size)) {
        error_ = ::GetLastError();
    } else {
        if (::UpdateProcThreadAttribute(list, 0, PROC_THREAD_ATTRIBUTE_HANDLE_LIST,
                                        inherited.data(), inherited.size() * sizeof(HANDLE),
                                        nullptr, nullptr)) {
            startup.lpAttributeList = list;
            PROCESS_INFORMATION info = {};
            if (::CreateProcessW(nullptr, &command[0], nullptr, nullptr, TRUE,
                                 CREATE_UNICODE_ENVIRONMENT | EXTENDED_STARTUPINFO_PRESENT,
                                 &environment[0], nullptr, &startup.StartupInfo, &info)) {
                ::CloseHandle(info.hThread);
                process_ = info.hProcess;
                process_id_ = info.dwProcessId;
            } else {
                error_ = ::GetLastError();
            }
        } else {
            error_ = ::GetLastError();
        }
        ::DeleteProcThreadAttributeList(list);
    }
    for (HANDLE handle : {output, errors}) {
        if (handle != nullptr) {
            ::CloseHandle(handle);
        }
    }
}

WindowsChild::~WindowsChild() {
    if (process_ != nullptr) {
        if (::WaitForSingleObject(process_, 0) == WAIT_TIMEOUT) {
            Kill();
        }
        ::CloseHandle(process_);
    }
    for (HANDLE handle : {ready_, go_}) {
        if (handle != nullptr) {
            ::CloseHandle(handle);
        }
    }
}

bool WindowsChild::WaitUntilReady(std::chrono::milliseconds limit) {
    if (process_ == nullptr) {
        return false;
    }
    // The child's end wakes the wait too, so a role that failed before it
    // got ready is reported at once.
    HANDLE waits[] = {ready_, process_};
    return ::WaitForMultipleObjects(2, waits, FALSE, Milliseconds(limit)) == WAIT_OBJECT_0;
}

void WindowsChild::Go() {
    ::SetEvent(go_);
}

bool WindowsChild::WaitForExit(unsigned long* code, std::chrono::milliseconds limit) {
    if (process_ == nullptr ||
        ::WaitForSingleObject(process_, Milliseconds(limit)) != WAIT_OBJECT_0) {
        return false;
    }
    DWORD exit_code = 0;
    if (!::GetExitCodeProcess(process_, &exit_code)) {
        return false;
    }
    *code = exit_code;
    return true;
}

void WindowsChild::Kill() {
    if (process_ == nullptr) {
        return;
    }
    ::TerminateProcess(process_, kKilledExitCode);
    // Termination is asynchronous: the process has ended (its handles and
    // mutexes given back) only once its handle is signalled.
    ::WaitForSingleObject(process_, Milliseconds(kChildWait));
}

std::string RoleArgument(const char* name) {
    const std::wstring wide_name = FromUtf8(name);
    std::wstring value(256, L'\0');
    for (;;) {
        const DWORD length = ::GetEnvironmentVariableW(wide_name.c_str(), &value[0],
                                                       static_cast<DWORD>(value.size()));
        if (length == 0) {
            return std::string();
        }
        if (length < value.size()) {
            value.resize(length);
            return ToUtf8(value);
        }
        value.assign(length, L'\0');
    }
}

void SignalReady() {
    HANDLE ready = HandleFromEnvironment(kReadyVariable);
    if (ready != nullptr) {
        ::SetEvent(ready);
    }
}

bool AwaitGo(std::chrono::milliseconds limit) {
    HANDLE go = HandleFromEnvironment(kGoVariable);
    return go != nullptr && ::WaitForSingleObject(go, Milliseconds(limit)) == WAIT_OBJECT_0;
}

bool RunsUnderWine() {
    return ::GetProcAddress(::GetModuleHandleW(L"ntdll.dll"), "wine_get_version") != nullptr;
}

std::wstring BuildPathForWindows(const std::string& path) {
    if (!path.empty() && path[0] == '/') {
        // wine's own call knows the prefix's drives; its answer comes from
        // the process heap.
        using DosName = WCHAR*(CDECL*)(LPCSTR);
        const DosName dos_name = reinterpret_cast<DosName>(reinterpret_cast<void*>(
            ::GetProcAddress(::GetModuleHandleW(L"kernel32.dll"), "wine_get_dos_file_name")));
        if (dos_name != nullptr) {
            WCHAR* name = dos_name(path.c_str());
            if (name != nullptr) {
                std::wstring result(name);
                ::HeapFree(::GetProcessHeap(), 0, name);
                return result;
            }
        }
    }
    std::wstring result = FromUtf8(path);
    for (wchar_t& c : result) {
        if (c == L'/') {
            c = L'\\';
        }
    }
    return result;
}

}  // namespace tvut_test

#endif  // _WIN32
