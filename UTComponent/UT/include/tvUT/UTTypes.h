// Types shared by the host and tvUT across the library boundary.
//
// Strings cross as kormSTRING records of UTF-16 code units. An object that
// holds a kormSTRING owns its text; a record returned by reference stays owned
// by the component. Length -1 means "zero-terminated, length not given"; a
// null text with length -1 is the unset state of every string field.
#ifndef TVUT_UTTYPES_H
#define TVUT_UTTYPES_H

#include <stdint.h>

#if defined(_WIN32)
#if defined(TVUT_BUILDING_LIBRARY)
#define TVUT_API __declspec(dllexport)
#else
#define TVUT_API __declspec(dllimport)
#endif
#else
#define TVUT_API __attribute__((visibility("default")))
#endif

#if defined(_WIN32)
typedef wchar_t kormCHAR;
#else
typedef char16_t kormCHAR;
#endif

// The value 1 means true; every other value is treated as false.
enum kormBOOLEAN : int32_t { kormFALSE = 0, kormTRUE = 1 };

struct kormSTRING {
    kormCHAR* text;  // UTF-16 code units, zero-terminated when not null
    int32_t length;  // code units; -1 = zero-terminated, length not given
};

// Status codes of the facade: positive values report success, negative ones
// the failure named.
enum UTStatus : int32_t {
    UT_INIT_OK = 100,
    UT_INIT_ACE_FAILED = -103,
    UT_INIT_NO_ACCESS = -104,
    UT_LOG_USAGE_OK = 200,
    UT_LOG_USAGE_WRITE_FAILED = -201,
    UT_SEND_OK = 300,
    UT_SEND_CYCLE_FAILED = -300,
    UT_SEND_NOT_DELIVERED = -301,
    UT_SEND_EXT_DEPENDENCY_FAILED = -304,
    UT_SEND_SERVER_REJECTED = -305,
    UT_TRANSCRIPT_FOLDER_NOT_WRITABLE = -306,
    UT_PRODUCT_CONFIG_NOT_WRITABLE = -307,
    UT_CRASH_OK = 400,
    UT_CRASH_RECORDED = 401,
    UT_CRASH_WRITE_FAILED = -400,
    UT_CLEANUP_OK = 500,
    UT_CLEANUP_FROM_CALLBACK = -500,
    UT_SET_USER_OK = 600,
    UT_SET_USER_NO_USER = -600,
    UT_CONSENT_STORED = 700,
    UT_CONSENT_NOT_STORED = -700,
    UT_TRACKING_OFF = -800,
    UT_NOT_INITIALISED = -1000,
    UT_NO_PRODUCT = -1001,
    UT_IN_FORKED_CHILD = -1002
};

#endif  // TVUT_UTTYPES_H
