// CUTSystemInfo: the names and operating-system description that transcripts
// and upload requests carry, gathered from the platform layer.
//
// Nothing is kept between calls: every call asks the system again, and
// callers that need a value repeatedly keep it themselves (CUTRuntimeConfig
// keeps the four operating-system texts and calls GatherOSInformation again
// while one of them is still empty). Any thread may call; nothing throws.
// Failures leave the outputs as they were and are logged at level 5.
#ifndef TVUT_TRANSCRIPT_UTSYSTEMINFO_H
#define TVUT_TRANSCRIPT_UTSYSTEMINFO_H

#include <cstddef>
#include <string>

class CUTSystemInfo {
public:
    // Names must fit a buffer of 260 characters with their terminating zero;
    // longer ones count as a failure, as they did where the buffer was fixed.
    static constexpr size_t kNameBufferSize = 260;

    // Host name; false (name unchanged) on failure or when it is too long.
    static bool ComputerName(std::wstring* name);
    // Account name of the effective user; false (name unchanged) on failure,
    // for an unknown user id or when it is too long.
    static bool UserName(std::wstring* name);
    // The account the user identity is hashed from, as the platform composes
    // it ("computer\user" here); false (name unchanged) on failure or when
    // either part (split at the first backslash) would not fit its buffer.
    static bool QualifiedUserName(std::wstring* name);

    // The four operating-system texts:
    //   os_name     the system's name (PRETTY_NAME of os-release here, "Linux"
    //               when the file has none)
    //   os_version  "<version> <service pack> Build <build>"; the service pack
    //               is always empty here, which leaves two spaces
    //   os_locale   the Windows locale id of the messages locale, in decimal
    //               ("0" when the locale is not in the table)
    //   domain      the host's DNS domain; left as it was when there is none
    // Name and version are left as they were when the system tells neither
    // its name nor its build.
    static void GatherOSInformation(std::wstring* os_name, std::wstring* os_version,
                                    std::wstring* os_locale, std::wstring* domain);

    // The version text of GatherOSInformation, for tests and tools.
    static std::wstring VersionText(const std::wstring& version, const std::wstring& service_pack,
                                    const std::wstring& build);

    // "64" on a 64-bit machine, "32" on another, "0" when it cannot be told.
    static std::wstring OsPlatform();
    // Minutes east of UTC of standard time, no daylight saving.
    static int TimeZoneOffsetMinutes();
};

#endif  // TVUT_TRANSCRIPT_UTSYSTEMINFO_H
