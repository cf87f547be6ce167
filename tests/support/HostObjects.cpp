#include "support/HostObjects.h"

namespace tvut_test {

namespace {

void Set(CUTProductInfo* product, void (CUTProductInfo::*setter)(const kormSTRING&),
         const char16_t* text) {
    if (text != nullptr) {
        (product->*setter)(kormSTRING{const_cast<kormCHAR*>(text), -1});
    }
}

}  // namespace

HostObjects::HostObjects(const char16_t* release, const char16_t* release_type,
                         const char16_t* program_type)
    : product_(CUTProductInfo::Create()), user_(CUTUserInfo::Create()) {
    Set(product_, &CUTProductInfo::SetProductLineId, u"LINE");
    Set(product_, &CUTProductInfo::SetReleaseId, release);
    Set(product_, &CUTProductInfo::SetReleaseType, release_type);
    Set(product_, &CUTProductInfo::SetProgramType, program_type);
}

HostObjects::~HostObjects() {
    product_->Dispose();
    user_->Dispose();
}

}  // namespace tvut_test
