# The dependencies come from Debian's packages (scripts/install-deps.sh); for
# Windows, from the static cross-built ones scripts/build-windows.sh keeps.
if(WIN32)
    include(${CMAKE_CURRENT_LIST_DIR}/DependenciesWin32.cmake)
    return()
endif()
find_package(Threads REQUIRED)
find_package(Boost 1.74 REQUIRED COMPONENTS thread filesystem system)
find_package(CURL REQUIRED)
find_package(OpenSSL REQUIRED)
find_package(ZLIB REQUIRED)

# ACE is either linked into libtvUT.so from the static, position-independent
# build that scripts/build-ace-static.sh keeps outside the repo (a host then
# loads no libACE and binds none of its relocations at start-up), or taken
# from Debian's shared library. The static one is the default wherever that
# cache exists; a choice made on the command line stays.
include(${CMAKE_CURRENT_LIST_DIR}/DepsCache.cmake)
file(GLOB TVUT_ACE_STAMPS "${TVUT_DEPS_CACHE}/ace-*/.tvut-stamp")
set(TVUT_STATIC_ACE_FOUND OFF)
if(TVUT_ACE_STAMPS)
    list(SORT TVUT_ACE_STAMPS COMPARE NATURAL)
    list(POP_BACK TVUT_ACE_STAMPS TVUT_ACE_STAMP)
    get_filename_component(TVUT_STATIC_ACE_DIR "${TVUT_ACE_STAMP}" DIRECTORY)
    if(EXISTS "${TVUT_STATIC_ACE_DIR}/lib/libACE.a" AND EXISTS "${TVUT_STATIC_ACE_DIR}/include/ace/config.h")
        set(TVUT_STATIC_ACE_FOUND ON)
    endif()
endif()
# The default follows the cache until someone sets the option themselves, so
# that a build folder configured before the cache was filled picks it up.
if(NOT DEFINED CACHE{TVUT_STATIC_ACE} OR
   (DEFINED CACHE{TVUT_STATIC_ACE_DEFAULT} AND "${TVUT_STATIC_ACE}" STREQUAL "${TVUT_STATIC_ACE_DEFAULT}"))
    set(TVUT_STATIC_ACE ${TVUT_STATIC_ACE_FOUND} CACHE BOOL
        "Link ACE statically into libtvUT.so (scripts/build-ace-static.sh fills the cache)" FORCE)
    set(TVUT_STATIC_ACE_DEFAULT ${TVUT_STATIC_ACE_FOUND} CACHE INTERNAL "")
else()
    set(TVUT_STATIC_ACE ${TVUT_STATIC_ACE} CACHE BOOL
        "Link ACE statically into libtvUT.so (scripts/build-ace-static.sh fills the cache)")
    unset(TVUT_STATIC_ACE_DEFAULT CACHE)
endif()

add_library(tvut_ace INTERFACE)
if(NOT TVUT_STATIC_ACE_FOUND AND (TVUT_STATIC_ACE OR DEFINED CACHE{TVUT_STATIC_ACE_DEFAULT}))
    message(STATUS "ACE: no static build in ${TVUT_DEPS_CACHE} (scripts/build-ace-static.sh makes one); "
                   "falling back to Debian's shared libACE")
endif()
if(TVUT_STATIC_ACE AND TVUT_STATIC_ACE_FOUND)
    # Recorded for the packaging check: the runtime package must then not
    # depend on libace.
    set(TVUT_ACE_LINKS_STATIC ON CACHE INTERNAL "")
    message(STATUS "ACE: static, from ${TVUT_STATIC_ACE_DIR}")
    # Its own config.h (ACE_AS_STATIC_LIBS) must win over any ACE headers
    # installed on the system.
    target_include_directories(tvut_ace SYSTEM BEFORE INTERFACE "${TVUT_STATIC_ACE_DIR}/include")
    target_link_libraries(tvut_ace INTERFACE "${TVUT_STATIC_ACE_DIR}/lib/libACE.a" Threads::Threads ${CMAKE_DL_LIBS})
else()
    set(TVUT_ACE_LINKS_STATIC OFF CACHE INTERNAL "")
    find_path(ACE_INCLUDE_DIR ace/ACE.h REQUIRED)
    find_library(ACE_LIBRARY ACE REQUIRED)
    message(STATUS "ACE: Debian's shared library ${ACE_LIBRARY}")
    target_include_directories(tvut_ace SYSTEM INTERFACE ${ACE_INCLUDE_DIR})
    target_link_libraries(tvut_ace INTERFACE ${ACE_LIBRARY})
endif()

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
