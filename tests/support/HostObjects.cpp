#include "support/HostObjects.h"

namespace tvut_test {

namespace {

void Set(CUTProductInfo* product, void (CUTProductInfo::*setter)(const kormSTRING&),
         const kormCHAR* text) {
    if (text != nullptr) {
        (product->*setter)(kormSTRING{const_cast<kormCHAR*>(text), -1});
    }
}

}  // namespace

HostObjects::HostObjects(const kormCHAR* release, const kormCHAR* release_type,
                         const kormCHAR* program_type)
    : product_(CUTProductInfo::Create()), user_(CUTUserInfo::Create()) {
    Set(product_, &CUTProductInfo::SetProductLineId, HOST_TEXT("LINE"));
    Set(product_, &CUTProductInfo::SetReleaseId, release);
    Set(product_, &CUTProductInfo::SetReleaseType, release_type);
    Set(product_, &CUTProductInfo::SetProgramType, program_type);
}

HostObjects::~HostObjects() {
    product_->Dispose();
    user_->Dispose();
}

}  // namespace tvut_test
