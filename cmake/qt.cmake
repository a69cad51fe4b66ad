# The Linux desktop: build/tavisol on Qt 6 Widgets (platform/qt), on by default when Qt 6 is
# found, its installation with the rights to use port 67 and ICMP without root, and the
# Debian package of that installation.
find_package(Qt6 COMPONENTS Widgets QUIET)
option(TAVISOL_QT "Build the Qt 6 desktop program build/tavisol" ${Qt6_FOUND})
if(TAVISOL_QT)
    find_package(Qt6 COMPONENTS Widgets REQUIRED)
    add_subdirectory(platform/qt)
    include(${CMAKE_CURRENT_LIST_DIR}/install.cmake OPTIONAL)
    include(${CMAKE_CURRENT_LIST_DIR}/package-debian.cmake)
endif()
