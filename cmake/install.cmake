# make install: both programs, the desktop entry and its icons, and the two capabilities a
# normal user needs: cap_net_bind_service for the BOOTP port 67 and cap_net_raw for the
# ICMP echo of the in-use check.
include(GNUInstallDirs)
install(TARGETS tavisol tavisol-cli RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
install(FILES ${PROJECT_SOURCE_DIR}/res/desktop/tavisol.desktop
        DESTINATION ${CMAKE_INSTALL_DATADIR}/applications)
install(FILES ${PROJECT_SOURCE_DIR}/res/icons/app.svg
        DESTINATION ${CMAKE_INSTALL_DATADIR}/icons/hicolor/scalable/apps RENAME tavisol.svg)
foreach(size 16 32 48 64 128 256)
    set(png ${PROJECT_BINARY_DIR}/desktop-icons/${size}/tavisol.png)
    add_custom_command(
        OUTPUT ${png}
        COMMAND ${CMAKE_COMMAND} -E make_directory ${PROJECT_BINARY_DIR}/desktop-icons/${size}
        COMMAND ${TAVISOL_RSVG_CONVERT} -w ${size} -h ${size} ${PROJECT_SOURCE_DIR}/res/icons/app.svg
                -o ${png}
        DEPENDS ${PROJECT_SOURCE_DIR}/res/icons/app.svg
        VERBATIM)
    list(APPEND desktop_icons ${png})
    install(FILES ${png} DESTINATION ${CMAKE_INSTALL_DATADIR}/icons/hicolor/${size}x${size}/apps)
endforeach()
add_custom_target(tavisol_desktop_icons ALL DEPENDS ${desktop_icons})

find_program(TAVISOL_SETCAP setcap PATHS /usr/sbin /sbin)
install(CODE "
    set(setcap \"${TAVISOL_SETCAP}\")
    foreach(program tavisol tavisol-cli)
        set(path \"\$ENV{DESTDIR}\${CMAKE_INSTALL_PREFIX}/${CMAKE_INSTALL_BINDIR}/\${program}\")
        if(NOT setcap)
            message(WARNING \"setcap not found (Debian: libcap2-bin): \${path} gets no capabilities; \"
                            \"searching then needs root for port 67 and the ICMP probe\")
            continue()
        endif()
        execute_process(COMMAND \${setcap} cap_net_bind_service,cap_net_raw+ep \${path}
                        RESULT_VARIABLE rc ERROR_VARIABLE err)
        if(rc EQUAL 0)
            message(STATUS \"Capabilities cap_net_bind_service,cap_net_raw+ep: \${path}\")
        else()
            message(WARNING \"setcap failed on \${path} (\${err}): run make install as root; \"
                            \"without them a normal user cannot open port 67\")
        endif()
    endforeach()
")
