# What a product team installs: the library with its SONAME, the public
# headers, the tools for the people who support a product, the README, and
# the CMake and pkg-config descriptions. Tests, benchmarks and the internal
# static library stay in the build tree.
include(GNUInstallDirs)
include(CMakePackageConfigHelpers)

set(TVUT_CMAKE_PACKAGE_DIR ${CMAKE_INSTALL_LIBDIR}/cmake/tvUT)

install(TARGETS tvUT EXPORT tvUTTargets
    LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR}
    INCLUDES DESTINATION ${CMAKE_INSTALL_INCLUDEDIR})
install(DIRECTORY ${PROJECT_SOURCE_DIR}/UTComponent/UT/include/tvUT
    DESTINATION ${CMAKE_INSTALL_INCLUDEDIR}
    FILES_MATCHING PATTERN "*.h")
install(TARGETS tvut_inspect RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
# The local receiver, a stand-in usage server for trying a product's uploads.
install(PROGRAMS ${PROJECT_SOURCE_DIR}/tools/ut_receiver.py
    DESTINATION ${CMAKE_INSTALL_BINDIR} RENAME tvut_receiver)
install(FILES ${PROJECT_SOURCE_DIR}/README.md DESTINATION ${CMAKE_INSTALL_DATAROOTDIR}/doc/tvut)

install(EXPORT tvUTTargets NAMESPACE tvUT:: DESTINATION ${TVUT_CMAKE_PACKAGE_DIR})
configure_package_config_file(${PROJECT_SOURCE_DIR}/cmake/tvUTConfig.cmake.in
    ${PROJECT_BINARY_DIR}/tvUTConfig.cmake
    INSTALL_DESTINATION ${TVUT_CMAKE_PACKAGE_DIR})
write_basic_package_version_file(${PROJECT_BINARY_DIR}/tvUTConfigVersion.cmake
    COMPATIBILITY SameMajorVersion)
install(FILES ${PROJECT_BINARY_DIR}/tvUTConfig.cmake ${PROJECT_BINARY_DIR}/tvUTConfigVersion.cmake
    DESTINATION ${TVUT_CMAKE_PACKAGE_DIR})

# The .pc file finds its prefix from its own place, so a copy installed with
# another prefix (cmake --install --prefix, a package) still points home.
set(TVUT_PC_DIR ${CMAKE_INSTALL_LIBDIR}/pkgconfig)
file(RELATIVE_PATH TVUT_PC_PREFIX_FROM_PCDIR /${TVUT_PC_DIR} /)
string(REGEX REPLACE "/$" "" TVUT_PC_PREFIX_FROM_PCDIR "${TVUT_PC_PREFIX_FROM_PCDIR}")
configure_file(${PROJECT_SOURCE_DIR}/cmake/tvut.pc.in ${PROJECT_BINARY_DIR}/tvut.pc @ONLY)
install(FILES ${PROJECT_BINARY_DIR}/tvut.pc DESTINATION ${TVUT_PC_DIR})

# cpack -G DEB: one binary package with the library, headers and tools; its
# Depends come from the shared libraries the installed files link.
set(CPACK_PACKAGE_NAME tvut)
set(CPACK_PACKAGE_VENDOR "Telvoran")
set(CPACK_PACKAGE_CONTACT "tvUT developers <tvut@telvoran.com>")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "usage tracking component for desktop products")
set(CPACK_PACKAGE_DESCRIPTION "tvUT records how a desktop product is used, keeps one
transcript per session and uploads them to a usage server.")
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION libs)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
# tvut_receiver is a Python 3 program; its --tls makes a certificate with
# the openssl command. The library's own dependencies are added to these.
set(CPACK_DEBIAN_PACKAGE_DEPENDS "python3")
set(CPACK_DEBIAN_PACKAGE_SUGGESTS "openssl")
set(CPACK_DEBIAN_PACKAGE_GENERATE_SHLIBS ON)
set(CPACK_DEBIAN_PACKAGE_CONTROL_EXTRA ${PROJECT_SOURCE_DIR}/packaging/debian/triggers)
set(CPACK_STRIP_FILES ON)
# The Debian copyright and changelog belong to the package only, not to a
# plain cmake --install: they are added to the package's staging tree.
set(CPACK_TVUT_DEB_DOC_SOURCE ${PROJECT_SOURCE_DIR}/packaging/debian)
set(CPACK_PRE_BUILD_SCRIPTS ${PROJECT_SOURCE_DIR}/packaging/debian/add_package_docs.cmake)
include(CPack)
