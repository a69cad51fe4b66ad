# The dialog-level cases compiled a second time with the Qt driver (platform/qt/driver.cpp),
# which runs the program on a Qt GUI thread with its windows shown offscreen and carries the
# driver's clicks, keys and typing through the widgets. Each runs in its own network
# namespace, as the headless ones do.
add_library(tavisol_qt_driver OBJECT ${PROJECT_SOURCE_DIR}/platform/qt/driver.cpp)
target_link_libraries(tavisol_qt_driver PRIVATE tavisol_qt)

foreach(name main_window_test search_test bootp_listing_test list_sorter_test
             assign_dialog_test device_list_actions_test)
    add_executable(${name}_qt ${name}.cpp $<TARGET_OBJECTS:tavisol_qt_driver>)
    target_link_libraries(${name}_qt PRIVATE tavisol_testlab tavisol_qt)
    gtest_discover_tests(${name}_qt TEST_PREFIX qt.
        PROPERTIES LABELS qt SKIP_REGULAR_EXPRESSION "\\[  SKIPPED \\]"
                   ENVIRONMENT QT_QPA_PLATFORM=offscreen
        DISCOVERY_TIMEOUT 30)
endforeach()

# make screenshots runs this under Xvfb; without TAVISOL_SCREENSHOT_DIR it skips.
add_executable(qt_screenshots_test qt_screenshots_test.cpp
                                   $<TARGET_OBJECTS:tavisol_qt_driver>)
target_link_libraries(qt_screenshots_test PRIVATE tavisol_testlab tavisol_qt)

# make install into a prefix under the build folder, then: capabilities on tavisol-sockets
# only, and uninstall leaves nothing; nobody, in the group tavisol or not, searches and
# assigns with the installed tavisol-cli; and a style plug-in of nobody's own, slipped into the
# installed tavisol through its environment, runs without any capability.
add_library(capeff_style MODULE support/capeff_style.cpp)
target_link_libraries(capeff_style PRIVATE Qt6::Widgets)
set_target_properties(capeff_style PROPERTIES AUTOMOC ON)
foreach(case capabilities unprivileged_user qt_plugin)
    add_test(NAME install.${case}
             COMMAND ${TAVISOL_PYTHON3} ${CMAKE_CURRENT_SOURCE_DIR}/network/install_test.py
                     ${PROJECT_BINARY_DIR} ${case})
    set_tests_properties(install.${case} PROPERTIES
        LABELS "qt;netlab" SKIP_RETURN_CODE 77 TIMEOUT 180 RUN_SERIAL TRUE)
endforeach()

# The Debian package of make package (skipped until it is made): its contents and lintian's
# verdict; then installed with apt-get, as a user would, on this machine (alone: it installs
# into /usr and makes the group tavisol): capabilities on the helper only, nobody in the group
# listing appliances with the installed tavisol-cli, and a purge that leaves nothing.
foreach(case contents installed)
    add_test(NAME deb_package.${case}
             COMMAND ${TAVISOL_PYTHON3} ${CMAKE_CURRENT_SOURCE_DIR}/network/deb_package_test.py
                     ${PROJECT_BINARY_DIR} ${case})
    set_tests_properties(deb_package.${case} PROPERTIES
        LABELS package SKIP_RETURN_CODE 77 TIMEOUT 240 RUN_SERIAL TRUE)
endforeach()

# The widgets themselves: the list as shown, the box on screen, the About entry.
add_executable(qt_window_test qt_window_test.cpp $<TARGET_OBJECTS:tavisol_qt_driver>)
target_link_libraries(qt_window_test PRIVATE tavisol_testlab tavisol_qt)
gtest_discover_tests(qt_window_test TEST_PREFIX qt.
    PROPERTIES LABELS qt SKIP_REGULAR_EXPRESSION "\\[  SKIPPED \\]"
               ENVIRONMENT QT_QPA_PLATFORM=offscreen
    DISCOVERY_TIMEOUT 30)

# build/tavisol itself on an Xvfb in a lab, clicked by xdotool: probe, rows, admin page; once
# with no window manager and once with one framing and activating the windows.
foreach(wm bare openbox)
    add_test(NAME qt.desktop_xdotool_${wm}
             COMMAND ${TAVISOL_PYTHON3} ${CMAKE_CURRENT_SOURCE_DIR}/network/qt_desktop_test.py
                     ${PROJECT_BINARY_DIR} ${wm})
    set_tests_properties(qt.desktop_xdotool_${wm} PROPERTIES
        LABELS "qt;netlab" SKIP_RETURN_CODE 77 TIMEOUT 120 RUN_SERIAL TRUE)
endforeach()
