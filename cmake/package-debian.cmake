# make package: the Debian package build/tavisol_<version>_<arch>.deb, written by CPack's DEB
# generator from the build tree as it stands. CPack rather than debhelper: the package is
# made of the very install rules that make install runs (one list of what is installed, so a
# file added there lands in the package too), from the binaries already built, without a
# second build in a debian/ tree of its own.
#
# CPack stages only the files, the install component without a name of its own: not what
# make install does to the system besides (the component "system" of install.cmake: the
# group tavisol, the helper's owner and capabilities, the records for make uninstall). In
# the package the maintainer scripts of packaging/debian/ do that on the machine that
# installs it, and undo it on purge. (Staging a component also keeps CPack's list of the
# staged files out of build/install_manifest.txt, which make uninstall reads.)
set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME tavisol)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_INSTALL_CMAKE_PROJECTS "${PROJECT_BINARY_DIR};${PROJECT_NAME};Unspecified;/")
set(CPACK_STRIP_FILES TRUE)
set(CPACK_INSTALL_DEFAULT_DIRECTORY_PERMISSIONS
    OWNER_READ OWNER_WRITE OWNER_EXECUTE GROUP_READ GROUP_EXECUTE WORLD_READ WORLD_EXECUTE)

set(TAVISOL_DEB_MAINTAINER "Tavisol maintainers <maintainers@tavisol.invalid>"
    CACHE STRING "The Maintainer field of the Debian package")
set(CPACK_DEBIAN_PACKAGE_MAINTAINER ${TAVISOL_DEB_MAINTAINER})
set(CPACK_DEBIAN_PACKAGE_SECTION net)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY
    "finds Vellumcrest storage appliances on the LAN and gives them an address")
# One line of the control file per line here.
set(CPACK_PACKAGE_DESCRIPTION [[
Tavisol lists the Vellumcrest network-storage appliances on the LAN segment
of the workstation: those that answer its discovery probe, and those without
an address that ask for one by BOOTP/DHCP. It opens an appliance's web
administration page and gives an unconfigured appliance an address. It comes
as a desktop program, tavisol, and a command line, tavisol-cli.

Neither program holds a privilege: port 67 and the raw sockets of the in-use
check come from the small helper tavisol-sockets, which only the members of
the group tavisol may run.]])

# The libraries the binaries link, found by dpkg-shlibdeps. Besides them: Qt's window-system
# plug-ins, which the desktop program cannot open a window without and which no binary links;
# addgroup for the maintainer scripts. Recommended: setcap (without it the helper gets no
# capabilities, and the installation says so), a font with the About entry's Chinese
# characters, and the desktop's URL handler for the administration page.
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_DEBIAN_PACKAGE_DEPENDS "adduser, qt6-qpa-plugins")
set(CPACK_DEBIAN_PACKAGE_RECOMMENDS "libcap2-bin, fonts-wqy-microhei, xdg-utils")

set(CPACK_DEBIAN_PACKAGE_CONTROL_EXTRA
    ${PROJECT_SOURCE_DIR}/packaging/debian/postinst
    ${PROJECT_SOURCE_DIR}/packaging/debian/postrm)
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION TRUE)

# Debian's documentation folder and compressed manual pages, written into the staged tree.
set(CPACK_TAVISOL_SOURCE_DIR ${PROJECT_SOURCE_DIR})
set(CPACK_TAVISOL_SOCKETS_HELPER ${TAVISOL_SOCKETS_HELPER_DIR}/tavisol-sockets)
set(CPACK_TAVISOL_CHANGELOG ${PROJECT_BINARY_DIR}/package/changelog)
string(TIMESTAMP TAVISOL_CHANGELOG_DATE "%a, %d %b %Y %H:%M:%S +0000" UTC)
configure_file(${PROJECT_SOURCE_DIR}/packaging/debian/changelog.in ${CPACK_TAVISOL_CHANGELOG}
               @ONLY)
set(CPACK_PRE_BUILD_SCRIPTS ${CMAKE_CURRENT_LIST_DIR}/package-debian-docs.cmake)

include(CPack)
