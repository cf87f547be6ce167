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

find_path(TINYXML_INCLUDE_DIR tinyxml.h REQUIRED)
find_library(TINYXML_LIBRARY tinyxml REQUIRED)
add_library(tvut_tinyxml INTERFACE)
target_include_directories(tvut_tinyxml SYSTEM INTERFACE ${TINYXML_INCLUDE_DIR})
target_link_libraries(tvut_tinyxml INTERFACE ${TINYXML_LIBRARY})
