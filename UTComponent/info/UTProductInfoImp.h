// The implementations behind the exported information interfaces.
//
// CUTProductInfoImp and CUTUserInfoImp hold their strings as owned
// kormSTRING fields (copy rules in UTKormString.h). TelvoranUserInfo is the
// user information the component makes for itself: the temporary ones of the
// facade calls and the login holder that GetUserID hands out. No locks:
// an object is used by one thread at a time.
#ifndef TVUT_INFO_UTPRODUCTINFOIMP_H
#define TVUT_INFO_UTPRODUCTINFOIMP_H

#include <tvUT/UTProductInfo.h>

#include "info/UTKormString.h"

class CUTProductInfoImp : public CUTProductInfo {
public:
    CUTProductInfoImp() = default;

    void SetSerialNumber(const kormSTRING& value) override { serial_number_.Set(value); }
    const kormSTRING& GetSerialNumber() const override { return serial_number_.Get(); }
    void SetProductLineId(const kormSTRING& value) override { product_line_id_.Set(value); }
    const kormSTRING& GetProductLineId() const override { return product_line_id_.Get(); }
    void SetReleaseId(const kormSTRING& value) override { release_id_.Set(value); }
    const kormSTRING& GetReleaseId() const override { return release_id_.Get(); }
    void SetReleaseType(const kormSTRING& value) override { release_type_.Set(value); }
    const kormSTRING& GetReleaseType() const override { return release_type_.Get(); }
    void SetCountryCode(const kormSTRING& value) override { country_code_.Set(value); }
    const kormSTRING& GetCountryCode() const override { return country_code_.Get(); }
    void SetLanguage(const kormSTRING& value) override { language_.Set(value); }
    const kormSTRING& GetLanguage() const override { return language_.Get(); }
    void SetLicenseProductLineId(const kormSTRING& value) override {
        license_product_line_id_.Set(value);
    }
    const kormSTRING& GetLicenseProductLineId() const override {
        return license_product_line_id_.Get();
    }
    void SetLicenseProductReleaseId(const kormSTRING& value) override {
        license_product_release_id_.Set(value);
    }
    const kormSTRING& GetLicenseProductReleaseId() const override {
        return license_product_release_id_.Get();
    }
    void SetLicenseProductReleaseType(const kormSTRING& value) override {
        license_product_release_type_.Set(value);
    }
    const kormSTRING& GetLicenseProductReleaseType() const override {
        return license_product_release_type_.Get();
    }
    void SetProgramType(const kormSTRING& value) override { program_type_.Set(value); }
    const kormSTRING& GetProgramType() const override { return program_type_.Get(); }

protected:
    ~CUTProductInfoImp() override = default;

private:
    CUTKormStringField serial_number_;
    CUTKormStringField product_line_id_;
    CUTKormStringField release_id_;
    CUTKormStringField release_type_;
    CUTKormStringField country_code_;
    CUTKormStringField language_;
    CUTKormStringField license_product_line_id_;
    CUTKormStringField license_product_release_id_;
    CUTKormStringField license_product_release_type_;
    CUTKormStringField program_type_;
};

class CUTUserInfoImp : public CUTUserInfo {
public:
    CUTUserInfoImp() = default;

    const kormSTRING& GetLogin() const override { return login_.Get(); }
    void SetLogin(const kormSTRING& value) override { login_.Set(value); }

protected:
    ~CUTUserInfoImp() override = default;

private:
    CUTKormStringField login_;
};

class TelvoranUserInfo : public CUTUserInfoImp {
public:
    TelvoranUserInfo() = default;
    // Public: the component keeps these on the stack and as a static.
    ~TelvoranUserInfo() override;
};

#endif  // TVUT_INFO_UTPRODUCTINFOIMP_H
