// The POSIX implementation of CUTPlatform. Stateless apart from what the C
// library keeps; safe on any thread. File services go through
// Boost.Filesystem with error codes, so nothing here throws.
#ifndef TVUT_PLATFORM_POSIXPLATFORM_H
#define TVUT_PLATFORM_POSIXPLATFORM_H

#include "platform/UTPlatform.h"

class CUTPosixPlatform : public CUTPlatform {
public:
    bool MachineDataRoot(std::wstring* root) override;
    bool UserDataRoot(std::wstring* root) override;
    std::wstring NewGuidText() override;
    std::wstring UtcFileTimeText() override;
    int64_t CurrentTimeSeconds() override;
    std::wstring ModuleVersion() override;

    bool FileExists(const std::wstring& path) override;
    bool IsFolder(const std::wstring& path) override;
    uint32_t FileSize(const std::wstring& path) override;
    bool FileSize64(const std::wstring& path, uint64_t* size) override;
    int32_t LastWriteTime(const std::wstring& path) override;
    bool GetFileTimes(const std::wstring& path, CUTFileTimes* times) override;
    bool IsOwnerWritable(const std::wstring& path) override;
    bool GetFileStatus(const std::wstring& path, CUTFileStatus* status) override;
    bool GetEntryStatus(const std::wstring& path, CUTFileStatus* status) override;
    std::unique_ptr<CUTReadableFile> OpenForReading(const std::wstring& path,
                                                    CUTFileStatus* status) override;
    std::unique_ptr<CUTWritableFile> OpenForWriting(const std::wstring& path, UTWriteMode mode,
                                                    uint32_t permissions, int* error) override;
    bool RemoveFile(const std::wstring& path) override;
    bool CopyFileReplacing(const std::wstring& source, const std::wstring& target) override;
    bool RenameReplacing(const std::wstring& source, const std::wstring& target) override;
    std::vector<std::wstring> ListFiles(const std::wstring& folder,
                                        const std::wstring& text) override;
    std::vector<CUTFolderName> ListFolder(const std::wstring& folder,
                                          size_t* skipped_names) override;
    std::vector<CUTFolderFile> ListFolderFiles(const std::wstring& folder,
                                               bool (*match)(const std::wstring&),
                                               bool with_status) override;
    using CUTPlatform::WalkFolder;
    std::vector<CUTFolderEntry> WalkFolder(const std::wstring& folder,
                                           size_t* skipped_names) override;
    bool CreateFolder(const std::wstring& path) override;
    bool RemoveFolder(const std::wstring& path) override;
    bool MakeOwnerWritable(const std::wstring& path) override;
    bool CanOpenForUpdate(const std::wstring& path) override;
    std::unique_ptr<CUTLockFile> OpenLockFile(const std::wstring& path, int* error) override;
    bool IsPrivateFolder(const std::wstring& path) override;

    // Identity and locale services: PosixSystemInfo.cpp.
    bool ComputerName(std::wstring* name) override;
    bool AccountName(std::wstring* name) override;
    bool MachineIdBytes(std::string* bytes) override;
    bool SystemVolumeSerial(uint32_t* serial) override;
    bool OsReleaseText(std::string* text) override;
    bool KernelInfo(std::string* release, bool* is_64bit) override;
    std::string MessagesLocaleName() override;
    std::wstring DomainName() override;
    int TimeZoneOffsetMinutes() override;
    bool WideToLocaleCharset(const std::wstring& wide, std::string* out) override;
    bool LocaleCharsetToWide(const std::string& text, std::wstring* out) override;

    int ProcessId() override;
    bool GetEnvironment(const char* name, std::string* value) override;
    bool IsSecureExecution() override;
    void CallInForkedChild(void (*handler)()) override;

    UTPolicyRead ReadMachinePolicy(std::string* bytes, std::wstring* source,
                                   std::string* problem) override;
};

#endif  // TVUT_PLATFORM_POSIXPLATFORM_H
