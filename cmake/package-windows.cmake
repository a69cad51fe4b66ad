# make package-windows: the installer (NSIS, packaging/windows/tavisol.nsi) and a portable zip
# of tavisol.exe with a short README, both in the Windows build folder and named after the
# version of res/version.h.
file(STRINGS ${PROJECT_SOURCE_DIR}/res/version.h _publisher_line
     REGEX "^#define TAVISOL_PUBLISHER \"[^\"]+\"$")
string(REGEX REPLACE ".*\"([^\"]+)\"$" "\\1" TAVISOL_PUBLISHER "${_publisher_line}")
if(NOT TAVISOL_PUBLISHER)
    message(FATAL_ERROR "res/version.h names no TAVISOL_PUBLISHER")
endif()

set(TAVISOL_PACKAGE_NAME tavisol-${PROJECT_VERSION}-win64)
set(TAVISOL_INSTALLER ${PROJECT_BINARY_DIR}/${TAVISOL_PACKAGE_NAME}-setup.exe)
set(TAVISOL_ZIP ${PROJECT_BINARY_DIR}/${TAVISOL_PACKAGE_NAME}.zip)

# Windows' own editors expect CRLF.
set(_readme ${PROJECT_BINARY_DIR}/package/README.txt)
configure_file(${PROJECT_SOURCE_DIR}/packaging/windows/README.txt.in ${_readme} @ONLY
               NEWLINE_STYLE CRLF)

find_program(TAVISOL_MAKENSIS makensis)
set(_nsi ${PROJECT_SOURCE_DIR}/packaging/windows/tavisol.nsi)
set(_icon ${PROJECT_BINARY_DIR}/res/icons/app.ico)
if(TAVISOL_MAKENSIS)
    add_custom_command(
        OUTPUT ${TAVISOL_INSTALLER}
        COMMAND ${TAVISOL_MAKENSIS} -V2 -DVERSION=${PROJECT_VERSION}
                "-DPUBLISHER=${TAVISOL_PUBLISHER}" -DEXE=$<TARGET_FILE:tavisol>
                -DREADME=${_readme} -DICON=${_icon} -DOUTFILE=${TAVISOL_INSTALLER} ${_nsi}
        DEPENDS tavisol ${_nsi} ${_readme} ${_icon}
        COMMENT "Writing the installer ${TAVISOL_PACKAGE_NAME}-setup.exe"
        VERBATIM)
else()
    add_custom_command(
        OUTPUT ${TAVISOL_INSTALLER}
        COMMAND ${CMAKE_COMMAND} -E echo "makensis was not found when ${PROJECT_BINARY_DIR} was"
                "configured: install it (Debian: nsis, make deps-windows), then run cmake"
                "${PROJECT_BINARY_DIR} again"
        COMMAND ${CMAKE_COMMAND} -E false
        VERBATIM)
endif()

# The zip holds the two files at its top, as a user unpacks them into a folder of their own.
set(_zip_dir ${PROJECT_BINARY_DIR}/package/zip)
add_custom_command(
    OUTPUT ${TAVISOL_ZIP}
    COMMAND ${CMAKE_COMMAND} -E rm -rf ${_zip_dir}
    COMMAND ${CMAKE_COMMAND} -E make_directory ${_zip_dir}
    COMMAND ${CMAKE_COMMAND} -E copy $<TARGET_FILE:tavisol> ${_readme} ${_zip_dir}
    COMMAND ${CMAKE_COMMAND} -E rm -f ${TAVISOL_ZIP}
    COMMAND ${CMAKE_COMMAND} -E chdir ${_zip_dir}
            ${CMAKE_COMMAND} -E tar cf ${TAVISOL_ZIP} --format=zip tavisol.exe README.txt
    DEPENDS tavisol ${_readme}
    COMMENT "Writing the portable ${TAVISOL_PACKAGE_NAME}.zip"
    VERBATIM)

add_custom_target(package-windows DEPENDS ${TAVISOL_INSTALLER} ${TAVISOL_ZIP})
