#include <tvUT/UTObject.h>

CUTObject::CUTObject() = default;
CUTObject::CUTObject(const CUTObject&) {}
CUTObject& CUTObject::operator=(const CUTObject&) {
    return *this;
}
CUTObject::~CUTObject() = default;
void CUTObject::Dispose() {
    delete this;
}
