# Run by CPack (CPACK_PRE_BUILD_SCRIPTS) on the staged files of the Debian package, before it
# packs them: what Debian keeps in every package's documentation folder (the copyright file,
# the changelog, compressed) with the README beside them, and the manual pages compressed as
# man expects them there. gzip -n: no name or time stamp, so the same sources give the same
# package.
set(usr "${CPACK_TEMPORARY_DIRECTORY}${CPACK_PACKAGING_INSTALL_PREFIX}")
set(doc "${usr}/share/doc/${CPACK_PACKAGE_NAME}")

function(gzip_in_place file)
    execute_process(COMMAND gzip -9nf "${file}" RESULT_VARIABLE rc)
    if(NOT rc EQUAL 0)
        message(FATAL_ERROR "gzip ${file} failed")
    endif()
endfunction()

file(MAKE_DIRECTORY "${doc}")
file(COPY "${CPACK_TAVISOL_SOURCE_DIR}/packaging/debian/copyright"
          "${CPACK_TAVISOL_SOURCE_DIR}/README.md"
     DESTINATION "${doc}" FILE_PERMISSIONS OWNER_READ OWNER_WRITE GROUP_READ WORLD_READ)
file(COPY "${CPACK_TAVISOL_CHANGELOG}" DESTINATION "${doc}"
     FILE_PERMISSIONS OWNER_READ OWNER_WRITE GROUP_READ WORLD_READ)
gzip_in_place("${doc}/changelog")

file(GLOB_RECURSE manual_pages "${usr}/share/man/*")
foreach(page IN LISTS manual_pages)
    if(NOT page MATCHES "\\.gz$")
        gzip_in_place("${page}")
    endif()
endforeach()

# The helper goes out with the ordinary mode of a program; the postinst gives it its owner
# and mode 0750 through dpkg-statoverride before the capabilities. Until then it holds none.
file(CHMOD "${usr}/${CPACK_TAVISOL_SOCKETS_HELPER}"
     PERMISSIONS OWNER_READ OWNER_WRITE OWNER_EXECUTE GROUP_READ GROUP_EXECUTE
                 WORLD_READ WORLD_EXECUTE)
