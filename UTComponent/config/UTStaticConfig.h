// CUTStaticConfig: typed access to the configuration items across the three
// configuration files.
//
// Each item lives in the file its table entry names; machine-wide items live
// in the user's file instead when this user cannot write the machine-wide
// one. Getters read the in-memory copies: an item missing from its file is
// added with its default, and an unparsable or out-of-range value reads as
// the default (written back for machine-wide and per-product items). Setters
// change memory and write the file when asked. A setting the machine policy
// fixes reads as the policy's value whatever the files hold, and a write to
// it is dropped (logged once); next come the session's overrides (a
// pre-release product's logging), which no file ever holds. Nothing here throws or logs a failure;
// unavailable files simply yield defaults. Any thread: each file object
// guards itself, the per-product file pointer has its own lock, and the
// policy, read once at construction, never changes.
#ifndef TVUT_CONFIG_UTSTATICCONFIG_H
#define TVUT_CONFIG_UTSTATICCONFIG_H

#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <set>
#include <string>

#include "config/UTMachinePolicy.h"
#include "config/UTXMLConfig.h"

class CUTStaticConfig {
public:
    // Loads the per-product file (when product_folder is not empty), then
    // loads the per-user and the machine-wide files (saving them only to
    // stamp the version of this build on them).
    CUTStaticConfig(const std::wstring& component_folder, const std::wstring& product_folder);

    bool GetBool(const std::wstring& name, bool reread);
    int32_t GetInt(const std::wstring& name, bool reread);
    int64_t GetInt64(const std::wstring& name, bool reread);
    std::wstring GetString(const std::wstring& name, bool reread);

    void SetBool(const std::wstring& name, bool value, bool save_now);
    void SetInt(const std::wstring& name, int32_t value, bool save_now);
    void SetInt64(const std::wstring& name, int64_t value, bool save_now);
    void SetString(const std::wstring& name, const std::wstring& value, bool save_now);
    // Sets the item and saves its file now; false when that save failed
    // (or the policy fixes the item, so nothing was written).
    bool SaveNow(const std::wstring& name, const std::wstring& value);
    // Makes name read as value for this object's life, in memory only: no
    // file changes, so a later save of the file cannot keep it. A setting
    // the machine policy fixes keeps the policy's value.
    void OverrideForThisSession(const std::wstring& name, const std::wstring& value);

    // Saves every file that exists.
    void Flush();

    // Replaces the per-product file with the one of product_folder and loads
    // it; returns whether it can be written.
    bool LoadProductFile(const std::wstring& product_folder);

    bool IsPIUIWritable() const { return pi_ui_writable_; }
    const CUTMachinePolicy& Policy() const { return *policy_; }
    // The file that holds the item now, or null.
    std::shared_ptr<CUTXMLConfig> FileOfItem(const std::wstring& name);

private:
    // The item's text: from its file, or its default (added to the file).
    std::wstring ReadText(const std::wstring& name, bool reread, int* file_class);
    template <class T>
    T ReadNumber(const std::wstring& name, bool reread);
    void WriteText(const std::wstring& name, const std::wstring& text, bool save_now);

    std::shared_ptr<const CUTMachinePolicy> policy_;
    std::shared_ptr<CUTXMLConfig> pi_ui_file_;
    std::shared_ptr<CUTXMLConfig> product_file_;
    std::shared_ptr<CUTXMLConfig> pi_ud_file_;
    bool pi_ui_writable_;
    std::mutex product_mutex_;
    std::mutex dropped_mutex_;
    std::set<std::wstring> dropped_writes_;  // fixed settings whose write was logged
    std::mutex overrides_mutex_;
    std::map<std::wstring, std::wstring> overrides_;
};

#endif  // TVUT_CONFIG_UTSTATICCONFIG_H
