// The smallest product that tracks its use with tvUT: it initialises the
// component, hands over who it is and who its user is, marks the start of
// its session and cleans up. It prints every status code and exits with 1
// when a call that cannot fail on a healthy machine did.
#include <tvUT/UTFacade.h>

#include <cstdio>

namespace {

char16_t kLine[] = u"EXAMPLE";
char16_t kRelease[] = u"2026";
char16_t kType[] = u"F";
char16_t kLogin[] = u"example.user";

bool Expect(const char* call, UTStatus status, UTStatus expected) {
    std::printf("%-18s -> %d\n", call, static_cast<int>(status));
    if (status != expected) {
        std::fprintf(stderr, "%s returned %d, expected %d\n", call, static_cast<int>(status),
                     static_cast<int>(expected));
        return false;
    }
    return true;
}

}  // namespace

int main() {
    bool ok = Expect("InitUTComponent", CUTFacade::InitUTComponent(), UT_INIT_OK);

    CUTProductInfo* product = CUTProductInfo::Create();
    CUTUserInfo* user = CUTUserInfo::Create();
    product->SetProductLineId({kLine, -1});
    product->SetReleaseId({kRelease, -1});
    product->SetReleaseType({kType, -1});
    user->SetLogin({kLogin, -1});
    ok = Expect("SetUserID", CUTFacade::SetUserID(user), UT_SET_USER_OK) && ok;

    // The upload and the transcript depend on the machine (a usage server,
    // a writable folder): their codes are shown, not required.
    std::printf("%-18s -> %d\n", "GetUBInformation",
                static_cast<int>(CUTFacade::GetUBInformation(product, user, kormFALSE)));
    product->Dispose();
    user->Dispose();
    std::printf("%-18s -> %d\n", "LogUsageData", static_cast<int>(CUTFacade::LogUsageData()));

    ok = Expect("CleanUp", CUTFacade::CleanUp(), UT_CLEANUP_OK) && ok;
    return ok ? 0 : 1;
}
