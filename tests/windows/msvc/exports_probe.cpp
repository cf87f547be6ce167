// Calls every function a host imports from tvUT.dll, compiled by clang in
// MSVC mode against the public headers only (never linked): the imports it
// leaves are the names an MSVC-built host looks for in the DLL.
#include <tvUT/UTFacade.h>

namespace {

void OnBusy(bool) {}

}  // namespace

int Probe() {
    CUTProductInfo* product = CUTProductInfo::Create();
    CUTUserInfo* user = CUTUserInfo::Create();
    CUTFacade::RegisterCallbackFunction(&OnBusy);
    int sum = CUTFacade::InitUTComponent() + CUTFacade::SetUserID(user) +
              CUTFacade::GetUBInformation(product, user, kormFALSE) + CUTFacade::LogUsageData() +
              CUTFacade::OnCrash() + CUTFacade::SetUsageConsent(kormTRUE) +
              CUTFacade::GetUsageConsent() + CUTFacade::GetUserID().length + CUTFacade::CleanUp();
    product->Dispose();
    user->Dispose();
    return sum;
}
