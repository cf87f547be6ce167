// CUTProductInfo and CUTUserInfo: what the host tells tvUT about its product
// and its user.
//
// Objects come from the Create factories and are released with Dispose. Every
// setter copies the text it is given (the host may free or reuse its buffer
// right after the call); every getter returns a reference to the held record,
// valid until the matching setter is called again or the object is released.
// A fresh object's fields are unset: null text, length -1. Objects carry no
// lock: do not change one on one thread while another passes it to tvUT.
// The order of the virtual operations is part of the binary interface.
#ifndef TVUT_UTPRODUCTINFO_H
#define TVUT_UTPRODUCTINFO_H

#include <tvUT/UTObject.h>

class CUTProductInfo : public CUTObject {
public:
    // A new object with every field unset, or null when memory is exhausted.
    TVUT_API static CUTProductInfo* Create();

    virtual void SetSerialNumber(const kormSTRING& value) = 0;
    virtual const kormSTRING& GetSerialNumber() const = 0;
    virtual void SetProductLineId(const kormSTRING& value) = 0;
    virtual const kormSTRING& GetProductLineId() const = 0;
    virtual void SetReleaseId(const kormSTRING& value) = 0;
    virtual const kormSTRING& GetReleaseId() const = 0;
    // "F" or "f" marks a release; any other set value, even an empty text,
    // marks a pre-release product (beta mode).
    virtual void SetReleaseType(const kormSTRING& value) = 0;
    virtual const kormSTRING& GetReleaseType() const = 0;
    virtual void SetCountryCode(const kormSTRING& value) = 0;
    virtual const kormSTRING& GetCountryCode() const = 0;
    virtual void SetLanguage(const kormSTRING& value) = 0;
    virtual const kormSTRING& GetLanguage() const = 0;
    virtual void SetLicenseProductLineId(const kormSTRING& value) = 0;
    virtual const kormSTRING& GetLicenseProductLineId() const = 0;
    virtual void SetLicenseProductReleaseId(const kormSTRING& value) = 0;
    virtual const kormSTRING& GetLicenseProductReleaseId() const = 0;
    virtual void SetLicenseProductReleaseType(const kormSTRING& value) = 0;
    virtual const kormSTRING& GetLicenseProductReleaseType() const = 0;
    // "TERM" (any letter case) makes tvUT take the login from the user
    // information; any other program type clears the stored login.
    virtual void SetProgramType(const kormSTRING& value) = 0;
    virtual const kormSTRING& GetProgramType() const = 0;

protected:
    CUTProductInfo() = default;
    ~CUTProductInfo() override = default;
};

class CUTUserInfo : public CUTObject {
public:
    // A new object with the login unset, or null when memory is exhausted.
    TVUT_API static CUTUserInfo* Create();

    virtual const kormSTRING& GetLogin() const = 0;
    virtual void SetLogin(const kormSTRING& value) = 0;

protected:
    CUTUserInfo() = default;
    ~CUTUserInfo() override = default;
};

#endif  // TVUT_UTPRODUCTINFO_H
