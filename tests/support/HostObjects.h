// Product and user information as a host fills them before handing them to
// the facade: product line "LINE" with the given release, release type and
// program type (null leaves an item unset). Both objects are disposed with
// this one. One test thread uses it.
#ifndef TVUT_TESTS_SUPPORT_HOSTOBJECTS_H
#define TVUT_TESTS_SUPPORT_HOSTOBJECTS_H

#include <tvUT/UTFacade.h>

#include "support/HostText.h"

namespace tvut_test {

class HostObjects {
public:
    HostObjects(const kormCHAR* release, const kormCHAR* release_type,
                const kormCHAR* program_type);
    ~HostObjects();
    HostObjects(const HostObjects&) = delete;
    HostObjects& operator=(const HostObjects&) = delete;

    CUTProductInfo* product() { return product_; }
    CUTUserInfo* user() { return user_; }

private:
    CUTProductInfo* product_;
    CUTUserInfo* user_;
};

}  // namespace tvut_test

#endif  // TVUT_TESTS_SUPPORT_HOSTOBJECTS_H
