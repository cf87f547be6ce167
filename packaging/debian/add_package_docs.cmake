# Runs inside cpack after the install into the staging tree, which holds one
# folder a component: adds the Debian copyright file and the compressed
# changelog to each package's doc folder.
foreach(pair ${CPACK_TVUT_DEB_PACKAGES})
    string(REPLACE "=" ";" pair "${pair}")
    list(GET pair 0 component)
    list(GET pair 1 package)
    set(root ${CPACK_TEMPORARY_INSTALL_DIRECTORY}/${component})
    if(NOT IS_DIRECTORY ${root})
        continue()
    endif()
    set(doc ${root}${CPACK_PACKAGING_INSTALL_PREFIX}/share/doc/${package})
    file(COPY ${CPACK_TVUT_DEB_DOC_SOURCE}/copyright DESTINATION ${doc})
    execute_process(COMMAND gzip -9n
        INPUT_FILE ${CPACK_TVUT_DEB_DOC_SOURCE}/changelog
        OUTPUT_FILE ${doc}/changelog.gz
        RESULT_VARIABLE result)
    if(NOT result EQUAL 0)
        message(FATAL_ERROR "could not compress the changelog for ${package}")
    endif()
endforeach()
