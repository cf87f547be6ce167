// CUTMachinePolicy: what the machine's administrators fixed for every user.
//
// The policy document (its place is the platform's: a file in /etc here)
// names machine-wide settings whose values win over every settings file,
// and two switches of its own: UsageTracking ("0": nothing is recorded or
// sent on the machine) and RequireConsent ("1": nothing for a user who has
// not given consent). A document that is there but cannot be trusted or
// understood turns tracking off: its author asked for something, and
// recording what they may have forbidden is the worse guess. Unknown items
// and values a setting would refuse are passed over, each noted.
//
// Immutable once loaded: any thread may read it. Load never throws and
// never writes anything.
#ifndef TVUT_CONFIG_UTMACHINEPOLICY_H
#define TVUT_CONFIG_UTMACHINEPOLICY_H

#include <cstdint>
#include <map>
#include <memory>
#include <string>
#include <vector>

class CUTMachinePolicy {
public:
    enum State {
        kNone,     // no document: nothing is fixed
        kInForce,  // read and understood
        kDamaged,  // there but unusable: tracking is off
    };

    static const wchar_t kUsageTrackingItem[];
    static const wchar_t kRequireConsentItem[];

    // Reads the document now.
    static std::shared_ptr<const CUTMachinePolicy> Load();

    State state() const { return state_; }
    // Where the document is (or would be).
    const std::wstring& source() const { return source_; }
    // What was passed over in a document in force: unknown items, values a
    // setting refuses.
    const std::vector<std::string>& notes() const { return notes_; }

    // The value the policy fixes for a setting; false when it fixes none.
    bool Fixes(const std::wstring& setting, std::wstring* value) const;

    // Are a user's sessions recorded and sent, given the user's consent (1
    // given, 0 revoked, -1 never decided)? *why (when given) tells which
    // rule decided, for the log and the inspector.
    bool AllowsTracking(int32_t consent, std::string* why = nullptr) const;

    // One line for the log and the inspector: the place and the state.
    std::string Describe() const;

private:
    CUTMachinePolicy() = default;
    // The policy of a document's bytes found at source.
    static std::shared_ptr<const CUTMachinePolicy> FromDocument(const std::string& bytes,
                                                                const std::wstring& source);
    // A damaged policy, for a place that holds something unusable.
    static std::shared_ptr<const CUTMachinePolicy> Damaged(const std::wstring& source,
                                                           const std::string& problem);

    State state_ = kNone;
    std::wstring source_;
    std::string problem_;
    std::vector<std::string> notes_;
    std::map<std::wstring, std::wstring> settings_;
    bool tracking_off_ = false;
    bool requires_consent_ = false;
};

#endif  // TVUT_CONFIG_UTMACHINEPOLICY_H
