// Placeholder facade: replaced by the real one.
#include <tvUT/UTFacade.h>

#include "UT/UTLibraryEntry.h"
#include "info/UTProductInfoImp.h"

namespace {
TelvoranUserInfo& LoginHolder() {
    static TelvoranUserInfo holder;
    return holder;
}
}  // namespace

UTStatus CUTFacade::InitUTComponent() { return UT_INIT_ACE_FAILED; }
UTStatus CUTFacade::GetUBInformation(const CUTProductInfo*, const CUTUserInfo*, kormBOOLEAN) {
    return UT_NOT_INITIALISED;
}
UTStatus CUTFacade::LogUsageData() { return UT_NOT_INITIALISED; }
UTStatus CUTFacade::OnCrash() { return UT_NOT_INITIALISED; }
UTStatus CUTFacade::SetUserID(const CUTUserInfo* user) {
    return user == nullptr ? UT_SET_USER_NO_USER : UT_SET_USER_OK;
}
const kormSTRING& CUTFacade::GetUserID() { return LoginHolder().GetLogin(); }
void CUTFacade::RegisterCallbackFunction(void (*)(bool)) {}
UTStatus CUTFacade::CleanUp() { return UT_NOT_INITIALISED; }

void UTLibraryAttach() {}
void UTLibraryDetach() {}
