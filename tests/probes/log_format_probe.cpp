// Compiled, never run, by log_format_check.cmake: the logger's calls are
// checked by the compiler. TVUT_PROBE 0 is a call with every kind of
// argument the component logs and must compile; each other case hands an
// argument of the wrong type (or none) to its directive and must be refused.
#include <cstddef>

#include "log/UTLoggerManager.h"

void Probe(const char* narrow, const wchar_t* wide, int number, long long big, size_t size) {
#if TVUT_PROBE == 0
    UT_LOG(UT_LOG_ERROR, "%s %ls %d %lld %llu %zu %p %f %x %5.1f %-14ls %*d %%", narrow, wide,
           number, big, static_cast<unsigned long long>(big), size, static_cast<const void*>(wide),
           1.5, 255u, 2.25, wide, 4, number);
    CUTLoggerManager::GetInstance()->Log(UT_LOG_ERROR, "%s", narrow);
#elif TVUT_PROBE == 1
    UT_LOG(UT_LOG_ERROR, "%s", 42);
#elif TVUT_PROBE == 2
    UT_LOG(UT_LOG_ERROR, "%ls", narrow);
#elif TVUT_PROBE == 3
    UT_LOG(UT_LOG_ERROR, "%s", wide);
#elif TVUT_PROBE == 4
    UT_LOG(UT_LOG_ERROR, "%d", big);
#elif TVUT_PROBE == 5
    UT_LOG(UT_LOG_ERROR, "%d and %s", number);
#elif TVUT_PROBE == 6
    UT_LOG(UT_LOG_ERROR, "%W", wide);
#elif TVUT_PROBE == 7
    CUTLoggerManager::GetInstance()->Log(UT_LOG_ERROR, "%lld", size);
#endif
}
