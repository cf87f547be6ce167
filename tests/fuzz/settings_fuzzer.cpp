// Fuzz target: arbitrary bytes as a settings file on disk, through the
// component's own reading and saving of it (CUTXMLConfig Load, GetValue,
// SetValue, Save) and a second object reading the result back.
//
// Input: byte 0 picks the form (bit 0: stored scrambled, as tvUT writes it,
// or plain, as a file from before the decode marker appeared), the kind of
// file (bits 1-2), whether SetValue saves at once (bit 3) and the item that
// is changed (bits 4-7); byte 1 is the length (0-15) of the new value whose
// bytes follow; the rest is the file. The file lives in scratch roots made
// once for the process and removed at its normal exit.
//
// What must hold: nothing crashes; once Save reports success, and for a file
// that the parser's printer reproduces faithfully (see PrintsStably), the
// file holds the new value of the item changed and every other item as the
// file held it before, and a new object reads that value back.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <memory>
#include <string>
#include <system_error>
#include <vector>

#include <tinyxml.h>

#include "base/UTParseGuard.h"
#include "base/UTTextCodec.h"
#include "config/UTConfigCommon.h"
#include "config/UTConfigPaths.h"
#include "config/UTScrambler.h"
#include "config/UTXMLConfig.h"
#include "platform/UTPlatform.h"

namespace {

// Scratch roots for the machine-wide and the per-user files. Locks stay in
// the user root (no runtime folder), and files are never synced: durability
// is not under test here, and a sync per run would slow the fuzzer to a
// crawl.
class ScratchRootsPlatform : public CUTPlatformWrapper {
public:
    ScratchRootsPlatform(std::wstring machine, std::wstring user)
        : CUTPlatformWrapper(CUTPlatform::Default()),
          machine_(std::move(machine)),
          user_(std::move(user)) {}
    bool MachineDataRoot(std::wstring* root) override {
        *root = machine_;
        return true;
    }
    bool UserDataRoot(std::wstring* root) override {
        *root = user_;
        return true;
    }
    bool GetEnvironment(const char* name, std::string* value) override {
        if (std::string(name) == "XDG_RUNTIME_DIR") {
            return false;
        }
        return CUTPlatformWrapper::GetEnvironment(name, value);
    }
    CUTOsStatus OpenForWriting(const std::wstring& path, UTWriteMode mode, uint32_t permissions,
                               std::unique_ptr<CUTWritableFile>* file) override {
        std::unique_ptr<CUTWritableFile> opened;
        const CUTOsStatus status =
            CUTPlatformWrapper::OpenForWriting(path, mode, permissions, &opened);
        if (status) {
            file->reset(new UnsyncedFile(std::move(opened)));
        }
        return status;
    }

private:
    class UnsyncedFile : public CUTWritableFile {
    public:
        explicit UnsyncedFile(std::unique_ptr<CUTWritableFile> file) : file_(std::move(file)) {}
        CUTOsStatus Append(const void* bytes, size_t size) override {
            return file_->Append(bytes, size);
        }
        CUTOsStatus WriteAt(uint64_t offset, const void* bytes, size_t size) override {
            return file_->WriteAt(offset, bytes, size);
        }
        CUTOsStatus Sync() override { return CUTOsStatus(); }
        CUTOsStatus Truncate(uint64_t size) override { return file_->Truncate(size); }
        CUTOsStatus Status(CUTFileStatus* status) override { return file_->Status(status); }
        CUTOsStatus Close() override { return file_->Close(); }

    private:
        std::unique_ptr<CUTWritableFile> file_;
    };

    std::wstring machine_;
    std::wstring user_;
};

std::string g_scratch;

void RemoveScratch() {
    std::error_code ignored;
    std::filesystem::remove_all(g_scratch, ignored);
}

const unsigned kKinds[] = {UT_FILE_PI_UI, UT_FILE_PI_UD, UT_FILE_PRODUCT, UT_FILE_PRODUCT};

std::wstring SubfolderOf(unsigned kind) {
    return kind == UT_FILE_PRODUCT ? ProductFolderName(L"FUZZ", L"1")
                                   : std::wstring(kComponentFolderName);
}

// The names of the items of one kind of file, in table order. The table
// has none for a product's file (its defaults are empty); a product stores
// items there all the same.
std::vector<std::wstring> ItemNames(unsigned kind) {
    std::vector<std::wstring> names;
    for (const CUTConfigItem& item : CUTConfigCommon::Items()) {
        if (static_cast<unsigned>(item.file_class) == kind) {
            names.push_back(item.name);
        }
    }
    if (names.empty()) {
        names = {L"x", L"y", L"ProductItem"};
    }
    return names;
}

// The file's document as the component decodes it; false when it does not.
bool ReadDocument(const std::wstring& path, unsigned kind, TiXmlDocument* document) {
    std::string bytes;
    std::string xml;
    if (!ReadWholeFile(CUTPlatform::Current(), path, &bytes, kSettingsMaxBytes) ||
        !CUTXMLConfig::DecodeFileBytes(bytes, kind, &xml)) {
        return false;
    }
    return ParseXmlGuarded(xml, CUTParseLimits(), document) && document->RootElement() != nullptr;
}

// An item as the component reads it: the first attribute of the root's first
// child of that name.
const std::string* ItemValue(const TiXmlDocument& document, const std::string& name) {
    const TiXmlElement* element = document.RootElement()->FirstChildElement(name);
    const TiXmlAttribute* attribute = element != nullptr ? element->FirstAttribute() : nullptr;
    return attribute != nullptr ? &attribute->ValueStr() : nullptr;
}

// Does the document read back as itself once printed? A save rewrites the
// whole file with the parser's printer, which is not faithful to every
// document the parser accepts: a declaration's values are printed unescaped
// and cut at a zero byte, and the bytes a broken UTF-8 sequence swallowed are
// escaped on printing and read differently the next time. Such a file cannot
// keep its other items through a save, so only the absence of faults is
// checked for it.
bool PrintsStably(const TiXmlDocument& document) {
    TiXmlPrinter first;
    document.Accept(&first);
    TiXmlDocument again;
    if (!ParseXmlGuarded(first.Str(), CUTParseLimits(), &again)) {
        return false;
    }
    TiXmlPrinter second;
    again.Accept(&second);
    return first.Str() == second.Str();
}

size_t ItemCount(const TiXmlDocument& document, const std::string& name) {
    size_t count = 0;
    for (const TiXmlElement* element = document.RootElement()->FirstChildElement(name);
         element != nullptr; element = element->NextSiblingElement(name)) {
        ++count;
    }
    return count;
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    const char* tmp = std::getenv("TMPDIR");
    std::string pattern =
        std::string(tmp != nullptr && *tmp == '/' ? tmp : "/tmp") + "/tvut-settings-fuzz.XXXXXX";
    std::vector<char> buffer(pattern.begin(), pattern.end());
    buffer.push_back('\0');
    if (mkdtemp(buffer.data()) == nullptr) {
        std::abort();
    }
    g_scratch = buffer.data();
    std::atexit(RemoveScratch);
    static ScratchRootsPlatform platform(FromUtf8(g_scratch + "/machine"),
                                         FromUtf8(g_scratch + "/user"));
    CUTPlatform::Install(&platform);
    for (unsigned kind : {UT_FILE_PI_UI, UT_FILE_PI_UD, UT_FILE_PRODUCT}) {
        const CUTXMLConfig config(kind, SubfolderOf(kind));
        std::filesystem::create_directories(ToUtf8(config.FolderPath()));
    }
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 2) {
        return 0;
    }
    const bool scrambled = (data[0] & 1) != 0;
    const unsigned kind = kKinds[(data[0] >> 1) & 3];
    const bool save_now = (data[0] & 8) != 0;
    const std::vector<std::wstring> names = ItemNames(kind);
    const std::wstring& name = names[(data[0] >> 4) % names.size()];
    size_t value_length = data[1] & 15;
    if (value_length > size - 2) {
        value_length = size - 2;
    }
    // Printable ASCII, markup characters included: the value must survive
    // the printer's escaping and the parser's reading of it.
    std::wstring value = L"v";
    for (size_t i = 0; i < value_length; ++i) {
        value.push_back(static_cast<wchar_t>(0x20 + data[2 + i] % 95));
    }
    std::string file(reinterpret_cast<const char*>(data) + 2 + value_length,
                     size - 2 - value_length);
    if (scrambled) {
        ScrambleBytes(&file);
    }

    CUTXMLConfig config(kind, SubfolderOf(kind));
    CUTPlatform* platform = CUTPlatform::Current();
    if (!ReplaceFileAtomically(platform, config.FilePath(), file)) {
        std::abort();  // the scratch root itself is broken
    }
    std::string decoded;
    CUTXMLConfig::DecodeFileBytes(file, kind, &decoded);

    if (!config.Load()) {
        return 0;
    }
    // What Load left on disk: the file as it was, or the defaults that
    // replaced a damaged one.
    TiXmlDocument before;
    if (!ReadDocument(config.FilePath(), kind, &before)) {
        __builtin_trap();  // Load succeeded on a file the component cannot read
    }
    const bool checkable = PrintsStably(before);
    std::wstring seen;
    for (const std::wstring& item : names) {
        config.GetValue(item, false, &seen);
        config.IsCached(item);
    }
    config.SetValue(name, value, save_now);
    if (!config.Save() || !checkable) {
        return 0;
    }

    TiXmlDocument after;
    if (!ReadDocument(config.FilePath(), kind, &after)) {
        __builtin_trap();  // a save left a file the component cannot read
    }
    const std::string utf8_name = ToUtf8(name);
    const std::string* stored = ItemValue(after, utf8_name);
    if (stored == nullptr || *stored != ToUtf8(value)) {
        __builtin_trap();  // the saved value is not in the file
    }
    // The merge touches only the item changed.
    for (const TiXmlElement* element = before.RootElement()->FirstChildElement();
         element != nullptr; element = element->NextSiblingElement()) {
        if (element->ValueStr() == utf8_name) {
            continue;
        }
        const std::string* old_value = ItemValue(before, element->ValueStr());
        const std::string* new_value = ItemValue(after, element->ValueStr());
        if ((old_value == nullptr) != (new_value == nullptr) ||
            (old_value != nullptr && *old_value != *new_value)) {
            __builtin_trap();  // another item changed on save
        }
    }
    std::wstring reread;
    if (!config.GetValue(name, true, &reread) || reread != value) {
        __builtin_trap();
    }

    CUTXMLConfig reader(kind, SubfolderOf(kind));
    if (reader.Load()) {
        std::wstring read_back;
        // The cache holds the last of several items of one name; the check
        // holds only where there is one.
        if (ItemCount(after, utf8_name) == 1 &&
            (!reader.GetValue(name, false, &read_back) || read_back != value)) {
            __builtin_trap();  // a new reader does not see the saved value
        }
    }
    return 0;
}
