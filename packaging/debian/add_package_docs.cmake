# Runs inside cpack after the install into the staging tree: adds the Debian
# copyright file and the compressed changelog to the package's doc folder.
set(doc ${CPACK_TEMPORARY_INSTALL_DIRECTORY}${CPACK_PACKAGING_INSTALL_PREFIX}/share/doc/tvut)
file(COPY ${CPACK_TVUT_DEB_DOC_SOURCE}/copyright DESTINATION ${doc})
execute_process(COMMAND gzip -9n
    INPUT_FILE ${CPACK_TVUT_DEB_DOC_SOURCE}/changelog
    OUTPUT_FILE ${doc}/changelog.gz
    RESULT_VARIABLE result)
if(NOT result EQUAL 0)
    message(FATAL_ERROR "could not compress the changelog")
endif()
