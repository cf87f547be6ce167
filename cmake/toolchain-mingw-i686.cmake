# Cross-compiles for 32-bit Windows with MinGW-w64 (i686, posix thread model),
# against the static dependencies scripts/build-windows.sh builds from
# Debian's sources into ${TVUT_DEPS_CACHE:-/var/cache/tvut-deps}/win32-i686
#   cmake -G Ninja -S . -B build-win32 -DCMAKE_TOOLCHAIN_FILE=cmake/toolchain-mingw-i686.cmake
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86)

set(TVUT_MINGW_HOST i686-w64-mingw32)
set(CMAKE_C_COMPILER ${TVUT_MINGW_HOST}-gcc-posix)
set(CMAKE_CXX_COMPILER ${TVUT_MINGW_HOST}-g++-posix)
set(CMAKE_RC_COMPILER ${TVUT_MINGW_HOST}-windres)
# The compilers' "-posix" suffix hides the tool prefix from CMake, which
# would otherwise take the machine's own ar and ranlib.
find_program(CMAKE_AR ${TVUT_MINGW_HOST}-ar REQUIRED)
find_program(CMAKE_RANLIB ${TVUT_MINGW_HOST}-ranlib REQUIRED)
find_program(CMAKE_OBJCOPY ${TVUT_MINGW_HOST}-objcopy REQUIRED)
find_program(CMAKE_STRIP ${TVUT_MINGW_HOST}-strip REQUIRED)

# The cache's place. CMake's checks read this file again in projects of their
# own, which see only the variables named here.
include(${CMAKE_CURRENT_LIST_DIR}/DepsCache.cmake)
list(APPEND CMAKE_TRY_COMPILE_PLATFORM_VARIABLES TVUT_DEPS_CACHE)
set(TVUT_WIN32_PREFIX "${TVUT_DEPS_CACHE}/win32-i686")

# Libraries, headers and CMake packages come from the cache and from
# Debian's mingw packages (zlib) only, never from the machine's own; tools
# (perl, python) are the machine's.
set(CMAKE_FIND_ROOT_PATH "${TVUT_WIN32_PREFIX}" /usr/${TVUT_MINGW_HOST})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)
# Static archives where a DLL's import library lies beside them (Debian's
# mingw zlib ships both), so that nothing needs a DLL of its own.
set(OPENSSL_USE_STATIC_LIBS ON)
set(ZLIB_USE_STATIC_LIBS ON)
set(Boost_USE_STATIC_LIBS ON)

# The cache holds static libraries only, and on Windows the headers of
# libcurl and Boost.Thread otherwise declare their functions as DLL imports.
# (ACE's config.h says so itself; TinyXML's header defines TIXML_USE_STL.)
set(CMAKE_C_FLAGS_INIT "-DCURL_STATICLIB")
set(CMAKE_CXX_FLAGS_INIT "-DCURL_STATICLIB -DBOOST_THREAD_USE_LIB")
# libgcc, libstdc++ and winpthread are linked in, so that a program or DLL
# built here needs no mingw DLL beside it, only Windows' own.
set(CMAKE_EXE_LINKER_FLAGS_INIT "-static")
set(CMAKE_SHARED_LINKER_FLAGS_INIT "-static")
set(CMAKE_MODULE_LINKER_FLAGS_INIT "-static")
