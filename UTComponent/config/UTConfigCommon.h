// CUTConfigCommon: the table of configuration items (type, home file, default,
// valid range). Only the names in the table are valid item names.
//
// The table itself is immutable and lives until the process ends; the
// CUTConfigCommon singleton is only a handle on it. That is what makes it safe
// for a short-lived configuration manager to delete the singleton while the
// worker thread is looking items up: lookups never go through an instance.
// Any thread may call the static functions.
#ifndef TVUT_CONFIG_UTCONFIGCOMMON_H
#define TVUT_CONFIG_UTCONFIGCOMMON_H

#include <string>
#include <vector>

#include <tvUT/UTObject.h>

#include "base/UTSingleton.h"
#include "config/UTConfigFileClass.h"

enum UTConfigValueType {
    UT_VALUE_INT32 = 0,
    UT_VALUE_BOOL = 1,
    UT_VALUE_STRING = 2,
    UT_VALUE_INT64 = 3
};

enum UTConfigRange {
    UT_RANGE_ANY = -1,
    UT_RANGE_PERCENT = 0,       // 0 to 100
    UT_RANGE_NON_NEGATIVE = 1,  // 0 or more
    UT_RANGE_LOG_LEVEL = 2,     // 0 to 5
    UT_RANGE_CONSENT = 3,       // -1 (never decided), 0 (revoked), 1 (given)
    UT_RANGE_TIME_OR_NONE = 4   // -1 (none yet) or a time, 0 or more
};

struct CUTConfigItem {
    const wchar_t* name;
    int value_type;
    int file_class;
    const wchar_t* default_value;
    int range;
};

// Default receiving endpoints of the usage server.
extern const wchar_t kDefaultReceivingHost[];
// The user's decision on tracking, in the per-user file.
extern const wchar_t kUsageConsentItem[];
extern const wchar_t kDefaultReceivingHostBeta[];

class CUTConfigCommon : public CUTObject, public CUTSingleton<CUTConfigCommon> {
public:
    CUTConfigCommon();
    ~CUTConfigCommon() override;

    // The item of that name, or null when the name is not in the table.
    static const CUTConfigItem* FindItem(const std::wstring& name);
    // The item's file class, -1 for a name not in the table.
    static int GetFileClass(const std::wstring& name);
    // Every item, in table order.
    static const std::vector<CUTConfigItem>& Items();
    // Frees the table at unload, once nothing reads settings any more; a
    // later use makes it again.
    static void ReleaseItems();
};

#endif  // TVUT_CONFIG_UTCONFIGCOMMON_H
