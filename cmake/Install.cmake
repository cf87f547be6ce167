# What a product team installs, in three components that become the three
# Debian packages:
#   runtime      (libtvut1)     the library with its SONAME, nothing else, so
#                               that a product's install pulls in no tools;
#   development  (libtvut-dev)  the public headers, the unversioned link, the
#                               CMake and pkg-config descriptions, the guides
#                               and the example host;
#   tools        (tvut-tools)   the inspector and the local receiver with
#                               their manual pages: the only part that needs
#                               Python.
# Tests, benchmarks and the internal static library stay in the build tree.
include(GNUInstallDirs)
include(CMakePackageConfigHelpers)

set(TVUT_CMAKE_PACKAGE_DIR ${CMAKE_INSTALL_LIBDIR}/cmake/tvUT)
set(TVUT_RUNTIME_PACKAGE libtvut${PROJECT_VERSION_MAJOR})
set(TVUT_DEV_DOC_DIR ${CMAKE_INSTALL_DATAROOTDIR}/doc/libtvut-dev)

install(TARGETS tvUT EXPORT tvUTTargets
    LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR}
        COMPONENT runtime NAMELINK_COMPONENT development
    INCLUDES DESTINATION ${CMAKE_INSTALL_INCLUDEDIR})
install(DIRECTORY ${PROJECT_SOURCE_DIR}/UTComponent/UT/include/tvUT
    DESTINATION ${CMAKE_INSTALL_INCLUDEDIR} COMPONENT development
    FILES_MATCHING PATTERN "*.h")

install(EXPORT tvUTTargets NAMESPACE tvUT:: DESTINATION ${TVUT_CMAKE_PACKAGE_DIR}
    COMPONENT development)
configure_package_config_file(${PROJECT_SOURCE_DIR}/cmake/tvUTConfig.cmake.in
    ${PROJECT_BINARY_DIR}/tvUTConfig.cmake
    INSTALL_DESTINATION ${TVUT_CMAKE_PACKAGE_DIR})
write_basic_package_version_file(${PROJECT_BINARY_DIR}/tvUTConfigVersion.cmake
    COMPATIBILITY SameMajorVersion)
install(FILES ${PROJECT_BINARY_DIR}/tvUTConfig.cmake ${PROJECT_BINARY_DIR}/tvUTConfigVersion.cmake
    DESTINATION ${TVUT_CMAKE_PACKAGE_DIR} COMPONENT development)

# The .pc file names the prefix it was installed under: the install step
# writes it, so that cmake --install --prefix and the packages (/usr) both
# get plain paths.
set(TVUT_PC_DIR ${CMAKE_INSTALL_LIBDIR}/pkgconfig)
install(CODE "
    set(TVUT_PC_LIBDIR \"${CMAKE_INSTALL_LIBDIR}\")
    set(TVUT_PC_INCLUDEDIR \"${CMAKE_INSTALL_INCLUDEDIR}\")
    set(TVUT_PC_VERSION \"${PROJECT_VERSION}\")
    set(TVUT_PC_PREFIX \"\${CMAKE_INSTALL_PREFIX}\")
    set(pc \"\$ENV{DESTDIR}\${CMAKE_INSTALL_PREFIX}/${TVUT_PC_DIR}/tvut.pc\")
    message(STATUS \"Installing: \${pc}\")
    configure_file(\"${PROJECT_SOURCE_DIR}/cmake/tvut.pc.in\" \"\${pc}\" @ONLY)
    list(APPEND CMAKE_INSTALL_MANIFEST_FILES \"\${pc}\")"
    COMPONENT development)

install(FILES ${PROJECT_SOURCE_DIR}/README.md DESTINATION ${TVUT_DEV_DOC_DIR}
    COMPONENT development)
install(DIRECTORY ${PROJECT_SOURCE_DIR}/docs/ DESTINATION ${TVUT_DEV_DOC_DIR}/docs
    COMPONENT development FILES_MATCHING PATTERN "*.md")
install(DIRECTORY ${PROJECT_SOURCE_DIR}/examples/ DESTINATION ${TVUT_DEV_DOC_DIR}/examples
    COMPONENT development)

install(TARGETS tvut_inspect RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR} COMPONENT tools)
# The local receiver, a stand-in usage server for trying a product's uploads.
install(PROGRAMS ${PROJECT_SOURCE_DIR}/tools/ut_receiver.py
    DESTINATION ${CMAKE_INSTALL_BINDIR} RENAME tvut_receiver COMPONENT tools)
# Manual pages are installed compressed, as Debian wants them.
foreach(page tvut_inspect.1 tvut_receiver.1)
    add_custom_command(OUTPUT ${PROJECT_BINARY_DIR}/man/${page}.gz
        COMMAND ${CMAKE_COMMAND} -E make_directory ${PROJECT_BINARY_DIR}/man
        COMMAND gzip -9nc ${PROJECT_SOURCE_DIR}/packaging/man/${page} > ${PROJECT_BINARY_DIR}/man/${page}.gz
        DEPENDS ${PROJECT_SOURCE_DIR}/packaging/man/${page}
        VERBATIM)
    list(APPEND TVUT_MAN_PAGES ${PROJECT_BINARY_DIR}/man/${page}.gz)
endforeach()
add_custom_target(tvut_man_pages ALL DEPENDS ${TVUT_MAN_PAGES})
install(FILES ${TVUT_MAN_PAGES} DESTINATION ${CMAKE_INSTALL_MANDIR}/man1 COMPONENT tools)

# cpack -G DEB: one package a component; Depends come from the shared
# libraries the installed files link, plus what is named here.
set(CPACK_PACKAGE_NAME tvut)
set(CPACK_PACKAGE_VENDOR "Telvoran")
set(CPACK_PACKAGE_CONTACT "tvUT developers <tvut@telvoran.com>")
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_COMPONENTS_ALL runtime development tools)
set(CPACK_DEB_COMPONENT_INSTALL ON)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_DEBIAN_ENABLE_COMPONENT_DEPENDS ON)
set(CPACK_STRIP_FILES ON)

set(CPACK_DEBIAN_RUNTIME_PACKAGE_NAME ${TVUT_RUNTIME_PACKAGE})
set(CPACK_DEBIAN_RUNTIME_PACKAGE_SECTION libs)
set(TVUT_DEB_ABOUT "tvUT records how a desktop product is used, keeps one transcript per
session and uploads them to a usage server.")
set(CPACK_DEBIAN_RUNTIME_DESCRIPTION "usage tracking component for desktop products
${TVUT_DEB_ABOUT}

This package holds the shared library.")
# A shlibs file for the packages that hold a library (the runtime one).
set(CPACK_DEBIAN_PACKAGE_GENERATE_SHLIBS ON)
set(CPACK_DEBIAN_RUNTIME_PACKAGE_CONTROL_EXTRA ${PROJECT_SOURCE_DIR}/packaging/debian/triggers)

set(CPACK_DEBIAN_DEVELOPMENT_PACKAGE_NAME libtvut-dev)
set(CPACK_DEBIAN_DEVELOPMENT_PACKAGE_SECTION libdevel)
set(CPACK_DEBIAN_DEVELOPMENT_DESCRIPTION "usage tracking component for desktop products - development files
${TVUT_DEB_ABOUT}

This package holds the headers, the CMake and pkg-config descriptions,
the API, settings and deployment guides and an example host.")
set(CPACK_DEBIAN_DEVELOPMENT_PACKAGE_DEPENDS "${TVUT_RUNTIME_PACKAGE} (= ${PROJECT_VERSION})")

set(CPACK_DEBIAN_TOOLS_PACKAGE_NAME tvut-tools)
set(CPACK_DEBIAN_TOOLS_PACKAGE_SECTION utils)
set(CPACK_DEBIAN_TOOLS_DESCRIPTION "usage tracking component for desktop products - support tools
${TVUT_DEB_ABOUT}

This package holds tvut_inspect, which shows what tvUT keeps on a machine,
and tvut_receiver, a stand-in usage server on 127.0.0.1.")
# tvut_receiver is a Python 3 program; its --tls makes a certificate with
# the openssl command.
set(CPACK_DEBIAN_TOOLS_PACKAGE_DEPENDS "python3")
set(CPACK_DEBIAN_TOOLS_PACKAGE_SUGGESTS "openssl")

# The Debian copyright and changelog belong to the packages only, not to a
# plain cmake --install: they are added to each package's staging tree.
set(CPACK_TVUT_DEB_DOC_SOURCE ${PROJECT_SOURCE_DIR}/packaging/debian)
set(CPACK_TVUT_DEB_PACKAGES
    "runtime=${TVUT_RUNTIME_PACKAGE};development=libtvut-dev;tools=tvut-tools")
set(CPACK_PRE_BUILD_SCRIPTS ${PROJECT_SOURCE_DIR}/packaging/debian/add_package_docs.cmake)
include(CPack)
