#include "info/UTProductInfoImp.h"

#include <new>

CUTProductInfo* CUTProductInfo::Create() {
    return new (std::nothrow) CUTProductInfoImp();
}

CUTUserInfo* CUTUserInfo::Create() {
    return new (std::nothrow) CUTUserInfoImp();
}

TelvoranUserInfo::~TelvoranUserInfo() = default;
