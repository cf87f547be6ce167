// The POSIX implementation of CUTPlatform. Stateless apart from what the C
// library keeps; safe on any thread. Every failure of a system call is turned
// into a CUTOsStatus here, once, with the errno it reported.
#ifndef TVUT_PLATFORM_POSIXPLATFORM_H
#define TVUT_PLATFORM_POSIXPLATFORM_H

#include "platform/UTPlatform.h"

class CUTPosixPlatform : public CUTPlatform {
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
    // PosixNamedLock.cpp.
    CUTOsStatus OpenNamedLock(const std::wstring& name,
                              std::unique_ptr<CUTSystemLock>* lock) override;

    // Identity and locale services: PosixSystemInfo.cpp.
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
};

// The description made of an os-release file's text and uname's kernel
// release and machine; null for what could not be read.
CUTOsDescription PosixOsDescription(const std::string* os_release, const char* kernel_release,
                                    const char* machine);

// The failure of a system call that set errno to error.
CUTOsStatus PosixFailure(const char* operation, int error);

// True when path is a folder that the effective user owns and that neither
// its group nor others may write: nobody else can add, replace or remove what
// is in it.
bool IsPrivateFolder(const std::wstring& path);

// The folder of this user's lock files, created (owner only) when missing:
// "$XDG_RUNTIME_DIR/tvut" when that variable names an absolute path to a
// folder the user owns that nobody else may write, else ".locks" in the user
// component folder. Empty when neither is usable.
std::wstring NamedLockFolder();

// The file name of a lock in the lock folder, the same in every process: the
// name itself when it is short and made of letters, digits, ".", "_" and "-"
// only (not starting with "."); otherwise a readable prefix of it (other
// characters as "_"), "~" and 32 hexadecimal digits of the SHA-256 of the
// name in UTF-8. At most 255 bytes either way.
std::wstring LockFileName(const std::wstring& name);

#endif  // TVUT_PLATFORM_POSIXPLATFORM_H
