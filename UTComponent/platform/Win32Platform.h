// The Win32 implementation of CUTPlatform. Stateless apart from what the
// system and the C runtime keep and the table of named locks this process
// holds; safe on any thread. Every failure of a system call is turned into a
// CUTOsStatus here, once, with the Win32 error code it reported.
//
// Paths are UTF-16 as the wide Win32 calls take them. Files are opened
// sharing read, write and delete with every other opener, so that a reader
// never stops a writer from replacing or removing a file, and no handle is
// ever inherited by a child process the host starts.
#ifndef TVUT_PLATFORM_WIN32PLATFORM_H
#define TVUT_PLATFORM_WIN32PLATFORM_H

#include <cstdint>
#include <mutex>
#include <set>
#include <string>

#include "platform/UTPlatform.h"

class CUTWin32Platform : public CUTPlatform {
public:
    bool MachineDataRoot(std::wstring* root) override;
    bool UserDataRoot(std::wstring* root) override;
    std::wstring NewGuidText() override;
    int64_t CurrentTimeNanos() override;
    std::wstring ModuleVersion() override;

    CUTOsStatus GetFileStatus(const std::wstring& path, CUTFileStatus* status) override;
    CUTOsStatus GetEntryStatus(const std::wstring& path, CUTFileStatus* status) override;
    CUTOsStatus OpenForReading(const std::wstring& path, CUTFileStatus* status,
                               std::unique_ptr<CUTReadableFile>* file) override;
    CUTOsStatus OpenForWriting(const std::wstring& path, UTWriteMode mode, uint32_t permissions,
                               std::unique_ptr<CUTWritableFile>* file) override;
    CUTOsStatus RemoveFile(const std::wstring& path) override;
    CUTOsStatus RenameReplacing(const std::wstring& source, const std::wstring& target) override;
    CUTOsStatus ListFolder(const std::wstring& folder, UTListing what,
                           bool (*match)(const std::wstring& name),
                           std::vector<CUTFolderEntry>* entries,
                           size_t* skipped_names = nullptr) override;
    CUTOsStatus CreateFolder(const std::wstring& path) override;
    CUTOsStatus RemoveFolder(const std::wstring& path) override;
    CUTOsStatus MakeOwnerWritable(const std::wstring& path) override;
    CUTOsStatus CanOpenForUpdate(const std::wstring& path) override;
    // Win32NamedLock.cpp.
    CUTOsStatus OpenNamedLock(const std::wstring& name,
                              std::unique_ptr<CUTSystemLock>* lock) override;

    // Identity and locale services: Win32SystemInfo.cpp.
    bool ComputerName(std::wstring* name) override;
    bool AccountName(std::wstring* name) override;
    bool QualifiedAccountName(std::wstring* name) override;
    bool MachineIdBytes(std::string* bytes) override;
    bool SystemVolumeSerial(uint32_t* serial) override;
    void OperatingSystem(CUTOsDescription* description) override;
    std::string MessagesLocaleName() override;
    std::wstring DomainName() override;
    int TimeZoneOffsetMinutes() override;
    bool WideToLocaleCharset(const std::wstring& wide, std::string* out) override;
    bool LocaleCharsetToWide(const std::string& text, std::wstring* out) override;

    bool GetEnvironment(const char* name, std::string* value) override;
    UTPolicyRead ReadMachinePolicy(std::string* bytes, std::wstring* source,
                                   std::string* problem) override;

    // Win32NamedLock.cpp. A Windows mutex belongs to a thread and may be
    // taken again by the thread that holds it; these tell a lock object
    // whether another lock object of this process already holds the mutex,
    // so that two objects of one name exclude each other on one thread too.
    // Any thread.
    bool MarkLockHeld(const std::wstring& mutex_name, bool abandoned);
    void MarkLockReleased(const std::wstring& mutex_name);

private:
    std::mutex held_locks_mutex_;
    std::multiset<std::wstring> held_locks_;
};

// The failure of a Win32 call that reported error (GetLastError), mapped to
// the kinds callers decide on; code() carries the Win32 code.
CUTOsStatus Win32Failure(const char* operation, unsigned long error);

// The kind of failure a Win32 error code stands for.
UTOsError Win32ErrorKind(unsigned long error);

// The name of the machine-wide mutex of a named lock, the same in every
// process and session: "Global\" and the name itself when it has no "\" and
// the whole fits the system's limit on object names; otherwise "Global\", a
// readable prefix of the name ("\" as "_"), "~" and 32 hexadecimal digits of
// the SHA-256 of the name in UTF-8.
std::wstring NamedMutexName(const std::wstring& name);

#endif  // TVUT_PLATFORM_WIN32PLATFORM_H
