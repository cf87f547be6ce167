// The facade of a libtvUT.so a test or benchmark loaded with dlopen: each
// exported call looked up by its symbol, as a host that loads the library
// at run time would. Null members name calls the library does not export.
// Holds no reference to the library: valid until it is unloaded.
#ifndef TVUT_TESTS_SUPPORT_LOADEDFACADE_H
#define TVUT_TESTS_SUPPORT_LOADEDFACADE_H

#include <tvUT/UTFacade.h>

namespace tvut_test {

struct LoadedFacade {
    explicit LoadedFacade(void* library);
    // Every member was found.
    bool complete() const;

    UTStatus (*init)() = nullptr;
    CUTProductInfo* (*create_product)() = nullptr;
    CUTUserInfo* (*create_user)() = nullptr;
    UTStatus (*information)(const CUTProductInfo*, const CUTUserInfo*, kormBOOLEAN) = nullptr;
    UTStatus (*cleanup)() = nullptr;
    UTStatus (*log_usage)() = nullptr;
    UTStatus (*crash)() = nullptr;
    const kormSTRING& (*user_id)() = nullptr;
};

}  // namespace tvut_test

#endif  // TVUT_TESTS_SUPPORT_LOADEDFACADE_H
