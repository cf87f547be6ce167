# The Windows build's dependencies: static libraries cross-built from
# Debian's source packages into ${TVUT_WIN32_PREFIX} (the toolchain file sets
# it; scripts/build-windows.sh fills it), and Debian's mingw zlib. Every one
# is linked into tvUT.dll, which then needs nothing but Windows' own DLLs.
if(NOT TVUT_WIN32_PREFIX OR NOT EXISTS "${TVUT_WIN32_PREFIX}/.stamps/ace")
    message(FATAL_ERROR "No Windows dependencies in '${TVUT_WIN32_PREFIX}': run scripts/build-windows.sh "
                        "(and configure with -DCMAKE_TOOLCHAIN_FILE=cmake/toolchain-mingw-i686.cmake)")
endif()
set(THREADS_PREFER_PTHREAD_FLAG ON)
find_package(Threads REQUIRED)
find_package(Boost 1.74 REQUIRED COMPONENTS thread filesystem system CONFIG
    PATHS "${TVUT_WIN32_PREFIX}/lib/cmake" NO_DEFAULT_PATH)
find_package(OpenSSL REQUIRED)
find_package(ZLIB REQUIRED)
find_package(CURL REQUIRED CONFIG PATHS "${TVUT_WIN32_PREFIX}/lib/cmake" NO_DEFAULT_PATH)

# ACE's config.h (from the cross build) says ACE_AS_STATIC_LIBS itself.
add_library(tvut_ace INTERFACE)
target_include_directories(tvut_ace SYSTEM INTERFACE "${TVUT_WIN32_PREFIX}/include")
target_link_libraries(tvut_ace INTERFACE "${TVUT_WIN32_PREFIX}/lib/libACE.a" ws2_32 mswsock iphlpapi netapi32)
set(TVUT_ACE_LINKS_STATIC ON CACHE INTERNAL "")

find_path(TINYXML_INCLUDE_DIR tinyxml.h REQUIRED)
find_library(TINYXML_LIBRARY tinyxml REQUIRED)
add_library(tvut_tinyxml INTERFACE)
target_include_directories(tvut_tinyxml SYSTEM INTERFACE ${TINYXML_INCLUDE_DIR})
target_link_libraries(tvut_tinyxml INTERFACE ${TINYXML_LIBRARY})
