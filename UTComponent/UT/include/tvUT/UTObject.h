// CUTObject: the root of every object tvUT hands to the host.
//
// The host never deletes such an object itself; it calls Dispose, which
// deletes it through the virtual destructor inside the library, with the
// library's own allocator. Copying copies nothing: the root carries no state.
#ifndef TVUT_UTOBJECT_H
#define TVUT_UTOBJECT_H

#include <tvUT/UTTypes.h>

class TVUT_API CUTObject {
public:
    CUTObject(const CUTObject&);
    CUTObject& operator=(const CUTObject&);

    // Releases the object. It must not be used afterwards.
    virtual void Dispose();

protected:
    CUTObject();
    virtual ~CUTObject();
};

#endif  // TVUT_UTOBJECT_H
