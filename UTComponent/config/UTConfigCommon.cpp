#include "config/UTConfigCommon.h"

#include <unordered_map>

#include "base/UTReleasedAtUnload.h"

const wchar_t kDefaultReceivingHost[] = L"https://usage.telvoran.com/BRIMReceiver";
const wchar_t kUsageConsentItem[] = L"UsageConsent";
const wchar_t kDefaultReceivingHostBeta[] = L"https://usage-beta.telvoran.com/BRIMReceiver";

namespace {

// The items and their index by name: read by the managers and by whatever
// reads settings while the process ends.
struct CUTConfigItems {
    CUTConfigItems();
    std::vector<CUTConfigItem> table;
    std::unordered_map<std::wstring, const CUTConfigItem*> index;
};

CUTReleasedAtUnload<CUTConfigItems> g_items;

CUTConfigItems::CUTConfigItems()
    : table{
          {L"CommunicationTimeOut", UT_VALUE_INT64, UT_FILE_PI_UI, L"30000", UT_RANGE_NON_NEGATIVE},
          {L"CommunicationWaitTime", UT_VALUE_INT64, UT_FILE_PI_UI, L"86400000",
           UT_RANGE_NON_NEGATIVE},
          {L"CommunicationWaitTimeBeta", UT_VALUE_INT64, UT_FILE_PI_UI, L"86400000",
           UT_RANGE_NON_NEGATIVE},
          {L"CommunicationRetryTimes", UT_VALUE_INT32, UT_FILE_PI_UI, L"3", UT_RANGE_NON_NEGATIVE},
          {L"CommunicationRetryWaitTime", UT_VALUE_INT64, UT_FILE_PI_UI, L"300000",
           UT_RANGE_NON_NEGATIVE},
          {L"CommunicationServerRestartWaitTime", UT_VALUE_INT64, UT_FILE_PI_UI, L"900000",
           UT_RANGE_NON_NEGATIVE},
          {L"CommunicationCheckTime", UT_VALUE_INT64, UT_FILE_PI_UI, L"3600000",
           UT_RANGE_NON_NEGATIVE},
          {L"NetworkUtilThreshold", UT_VALUE_INT32, UT_FILE_PI_UI, L"7", UT_RANGE_PERCENT},
          {L"ReceivingHost", UT_VALUE_STRING, UT_FILE_PI_UI, kDefaultReceivingHost, UT_RANGE_ANY},
          {L"ReceivingHostBeta", UT_VALUE_STRING, UT_FILE_PI_UI, kDefaultReceivingHostBeta,
           UT_RANGE_ANY},
          {L"ReceivingServlet", UT_VALUE_STRING, UT_FILE_PI_UI, L"/receiver.aspx", UT_RANGE_ANY},
          {L"MaxPayloadSize", UT_VALUE_INT64, UT_FILE_PI_UI, L"102400", UT_RANGE_NON_NEGATIVE},
          {L"MaxPayloadSizeBeta", UT_VALUE_INT64, UT_FILE_PI_UI, L"300000", UT_RANGE_NON_NEGATIVE},
          {L"ExpectedCompressionRatio", UT_VALUE_INT32, UT_FILE_PI_UI, L"10", UT_RANGE_PERCENT},
          {L"MaxDiskSpaceAllowableSize", UT_VALUE_INT64, UT_FILE_PI_UI, L"5242880",
           UT_RANGE_NON_NEGATIVE},
          {L"MaxFileCount", UT_VALUE_INT32, UT_FILE_PI_UI, L"500", UT_RANGE_NON_NEGATIVE},
          {L"LogLevel", UT_VALUE_INT32, UT_FILE_PI_UI, L"3", UT_RANGE_LOG_LEVEL},
          {L"MaxLogFileSize", UT_VALUE_INT64, UT_FILE_PI_UI, L"51200", UT_RANGE_NON_NEGATIVE},
          {L"MaxLogFileCount", UT_VALUE_INT32, UT_FILE_PI_UI, L"3", UT_RANGE_NON_NEGATIVE},
          {L"EnableLogging", UT_VALUE_BOOL, UT_FILE_PI_UI, L"0", UT_RANGE_ANY},
          {L"LastSendTimestamp", UT_VALUE_INT64, UT_FILE_PI_UD, L"-1", UT_RANGE_TIME_OR_NONE},
          {L"TelvoranLogin", UT_VALUE_STRING, UT_FILE_PI_UD, L"", UT_RANGE_ANY},
          {L"UsageConsent", UT_VALUE_INT32, UT_FILE_PI_UD, L"-1", UT_RANGE_CONSENT},
      } {
    for (const CUTConfigItem& item : table) {
        index.emplace(item.name, &item);
    }
}

const std::vector<CUTConfigItem>& Table() {
    return g_items.Get().table;
}

const std::unordered_map<std::wstring, const CUTConfigItem*>& Index() {
    return g_items.Get().index;
}

}  // namespace

CUTConfigCommon::CUTConfigCommon() {
    Index();
}

CUTConfigCommon::~CUTConfigCommon() = default;

const CUTConfigItem* CUTConfigCommon::FindItem(const std::wstring& name) {
    const auto& index = Index();
    auto it = index.find(name);
    return it != index.end() ? it->second : nullptr;
}

int CUTConfigCommon::GetFileClass(const std::wstring& name) {
    const CUTConfigItem* item = FindItem(name);
    return item != nullptr ? item->file_class : UT_FILE_NONE;
}

const std::vector<CUTConfigItem>& CUTConfigCommon::Items() {
    return Table();
}

void CUTConfigCommon::ReleaseItems() {
    g_items.Release();
}
