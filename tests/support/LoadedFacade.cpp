#include "support/LoadedFacade.h"

#include <dlfcn.h>

namespace tvut_test {

namespace {

template <class F>
F Symbol(void* library, const char* name) {
    return reinterpret_cast<F>(dlsym(library, name));
}

}  // namespace

LoadedFacade::LoadedFacade(void* library) {
    init = Symbol<UTStatus (*)()>(library, "_ZN9CUTFacade15InitUTComponentEv");
    create_product = Symbol<CUTProductInfo* (*)()>(library, "_ZN14CUTProductInfo6CreateEv");
    create_user = Symbol<CUTUserInfo* (*)()>(library, "_ZN11CUTUserInfo6CreateEv");
    information = Symbol<UTStatus (*)(const CUTProductInfo*, const CUTUserInfo*, kormBOOLEAN)>(
        library, "_ZN9CUTFacade16GetUBInformationEPK14CUTProductInfoPK11CUTUserInfo11kormBOOLEAN");
    cleanup = Symbol<UTStatus (*)()>(library, "_ZN9CUTFacade7CleanUpEv");
    log_usage = Symbol<UTStatus (*)()>(library, "_ZN9CUTFacade12LogUsageDataEv");
    crash = Symbol<UTStatus (*)()>(library, "_ZN9CUTFacade7OnCrashEv");
    user_id = Symbol<const kormSTRING& (*)()>(library, "_ZN9CUTFacade9GetUserIDEv");
}

bool LoadedFacade::complete() const {
    return init && create_product && create_user && information && cleanup && log_usage && crash &&
           user_id;
}

}  // namespace tvut_test
