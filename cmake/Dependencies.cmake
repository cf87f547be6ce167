# The dependencies come from Debian's packages (scripts/install-deps.sh).
find_package(Threads REQUIRED)
find_package(Boost 1.74 REQUIRED COMPONENTS thread filesystem system)
find_package(CURL REQUIRED)
find_package(OpenSSL REQUIRED)
find_package(ZLIB REQUIRED)

find_path(ACE_INCLUDE_DIR ace/ACE.h REQUIRED)
find_library(ACE_LIBRARY ACE REQUIRED)
add_library(tvut_ace INTERFACE)
target_include_directories(tvut_ace SYSTEM INTERFACE ${ACE_INCLUDE_DIR})
target_link_libraries(tvut_ace INTERFACE ${ACE_LIBRARY})

# A fuzz build may take TinyXML from tests/fuzz/build-tinyxml.sh instead:
# Debian's source compiled with the fuzzer's coverage counters and the
# sanitizers, so that the fuzzers are guided through the parser as well.
set(TVUT_FUZZ_TINYXML_DIR "" CACHE PATH
    "Instrumented TinyXML for the fuzz build (the folder tests/fuzz/build-tinyxml.sh fills); empty: the system's")
if(TVUT_FUZZ_TINYXML_DIR)
    if(NOT TVUT_BUILD_FUZZERS)
        message(FATAL_ERROR "TVUT_FUZZ_TINYXML_DIR is for fuzz builds only (TVUT_BUILD_FUZZERS=ON)")
    endif()
    if(NOT EXISTS "${TVUT_FUZZ_TINYXML_DIR}/include/tinyxml.h" OR
       NOT EXISTS "${TVUT_FUZZ_TINYXML_DIR}/lib/libtinyxml.a")
        message(FATAL_ERROR "No instrumented TinyXML in ${TVUT_FUZZ_TINYXML_DIR}: "
                            "run tests/fuzz/build-tinyxml.sh first")
    endif()
    set(TINYXML_INCLUDE_DIR "${TVUT_FUZZ_TINYXML_DIR}/include")
    set(TINYXML_LIBRARY "${TVUT_FUZZ_TINYXML_DIR}/lib/libtinyxml.a")
    message(STATUS "TinyXML: instrumented copy in ${TVUT_FUZZ_TINYXML_DIR}")
else()
    find_path(TINYXML_INCLUDE_DIR tinyxml.h REQUIRED)
    find_library(TINYXML_LIBRARY tinyxml REQUIRED)
endif()
add_library(tvut_tinyxml INTERFACE)
target_include_directories(tvut_tinyxml SYSTEM INTERFACE ${TINYXML_INCLUDE_DIR})
target_link_libraries(tvut_tinyxml INTERFACE ${TINYXML_LIBRARY})
