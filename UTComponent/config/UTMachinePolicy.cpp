#include "config/UTMachinePolicy.h"

#include <tinyxml.h>

#include "base/UTParseGuard.h"
#include "base/UTTextCodec.h"
#include "config/UTConfigCommon.h"
#include "config/UTConfigValue.h"
#include "platform/UTPlatform.h"

const wchar_t CUTMachinePolicy::kUsageTrackingItem[] = L"UsageTracking";
const wchar_t CUTMachinePolicy::kRequireConsentItem[] = L"RequireConsent";

namespace {

const char kPolicyRootElement[] = "TVUT_POLICY";

// A switch of the policy's own: "0" or "1", nothing else; false otherwise.
bool ParseSwitch(const std::wstring& text, bool* on) {
    if (text == L"0" || text == L"1") {
        *on = text == L"1";
        return true;
    }
    return false;
}

}  // namespace

std::shared_ptr<const CUTMachinePolicy> CUTMachinePolicy::Load() {
    std::string bytes;
    std::wstring source;
    std::string problem;
    try {
        switch (CUTPlatform::Current()->ReadMachinePolicy(&bytes, &source, &problem)) {
            case UTPolicyRead::kAbsent: {
                std::shared_ptr<CUTMachinePolicy> none(new CUTMachinePolicy());
                none->source_ = source;
                return none;
            }
            case UTPolicyRead::kRead:
                return FromDocument(bytes, source);
            case UTPolicyRead::kUnusable:
                break;
        }
    } catch (...) {
        problem = "cannot be read: out of memory";
    }
    return Damaged(source, problem);
}

std::shared_ptr<const CUTMachinePolicy> CUTMachinePolicy::Damaged(const std::wstring& source,
                                                                  const std::string& problem) {
    std::shared_ptr<CUTMachinePolicy> policy(new CUTMachinePolicy());
    policy->state_ = kDamaged;
    policy->source_ = source;
    policy->problem_ = problem;
    return policy;
}

std::shared_ptr<const CUTMachinePolicy> CUTMachinePolicy::FromDocument(const std::string& bytes,
                                                                       const std::wstring& source) {
    TiXmlDocument document;
    UTParseVerdict verdict = UTParseVerdict::kAccepted;
    if (!ParseXmlGuarded(bytes, StoredFileLimits(kPolicyMaxBytes), &document, &verdict)) {
        return Damaged(source, std::string("is not a document tvUT reads (") +
                                   ParseVerdictName(verdict) + ")");
    }
    const TiXmlElement* root = document.RootElement();
    if (root == nullptr || root->ValueStr() != kPolicyRootElement) {
        return Damaged(source, std::string("has no ") + kPolicyRootElement + " root element");
    }
    std::shared_ptr<CUTMachinePolicy> policy(new CUTMachinePolicy());
    policy->state_ = kInForce;
    policy->source_ = source;
    for (const TiXmlElement* element = root->FirstChildElement(); element != nullptr;
         element = element->NextSiblingElement()) {
        const std::wstring name = FromUtf8(element->ValueStr());
        const char* text = element->Attribute("value");
        if (text == nullptr) {
            policy->notes_.push_back(element->ValueStr() + " has no value attribute: passed over");
            continue;
        }
        const std::wstring value = FromUtf8(text);
        bool on = false;
        if (name == kUsageTrackingItem || name == kRequireConsentItem) {
            // A switch the administrator set but tvUT cannot read: the
            // cautious reading of either is "off".
            if (!ParseSwitch(value, &on)) {
                return Damaged(
                    source, element->ValueStr() + " is \"" + text + "\", neither \"0\" nor \"1\"");
            }
            // Repeated, the switch keeps its cautious setting.
            if (name == kUsageTrackingItem) {
                policy->tracking_off_ = policy->tracking_off_ || !on;
            } else {
                policy->requires_consent_ = policy->requires_consent_ || on;
            }
            continue;
        }
        const CUTConfigItem* item = CUTConfigCommon::FindItem(name);
        if (item == nullptr || item->file_class != UT_FILE_PI_UI) {
            policy->notes_.push_back(element->ValueStr() +
                                     " is not a machine-wide setting: passed over");
            continue;
        }
        if (!IsValidConfigText(*item, value)) {
            policy->notes_.push_back(element->ValueStr() + " \"" + text +
                                     "\" is not valid for it: the settings files decide");
            continue;
        }
        // The first of duplicates counts, as in the settings files.
        if (!policy->settings_.emplace(name, value).second) {
            policy->notes_.push_back(element->ValueStr() + " is there twice: the first counts");
        }
    }
    return policy;
}

bool CUTMachinePolicy::Fixes(const std::wstring& setting, std::wstring* value) const {
    auto it = settings_.find(setting);
    if (it == settings_.end()) {
        return false;
    }
    *value = it->second;
    return true;
}

bool CUTMachinePolicy::AllowsTracking(int32_t consent, std::string* why) const {
    std::string reason;
    bool on = false;
    if (state_ == kDamaged) {
        reason = Describe();
    } else if (tracking_off_) {
        reason = "the machine policy turns tracking off";
    } else if (consent == 1) {
        on = true;
        reason = "the user gave consent";
    } else if (consent == 0) {
        reason = "the user revoked consent";
    } else if (requires_consent_) {
        reason = "the machine policy requires consent, which the user has not given";
    } else {
        on = true;
        reason = "the user has not decided";
    }
    if (why != nullptr) {
        *why = reason;
    }
    return on;
}

std::string CUTMachinePolicy::Describe() const {
    const std::string place = ToUtf8(source_);
    switch (state_) {
        case kNone:
            return "no machine policy (" + place + " does not exist)";
        case kDamaged:
            return "machine policy " + place + " " + problem_ +
                   ": tracking is off for every user until it is fixed";
        case kInForce:
            break;
    }
    std::string line = "machine policy " + place +
                       " in force: " + std::to_string(settings_.size()) + " settings fixed";
    if (tracking_off_) {
        line += ", tracking off for every user";
    } else if (requires_consent_) {
        line += ", consent required";
    }
    return line;
}
