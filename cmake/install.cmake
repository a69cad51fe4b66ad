# make install: both programs, their manual pages, tavisol-cli's bash completion, the desktop
# entry and its icons, and tavisol-sockets, the one
# installed file that holds capabilities: cap_net_bind_service for the BOOTP port 67 and
# cap_net_raw for the raw ICMP and ARP sockets of the in-use check.
#
# The programs hold none. They load Qt, whose plug-ins, styles, input methods and themes
# the environment chooses, so any capability of theirs would be lent to code a local user
# puts in their way. The helper opens a socket of a fixed list, hands it over and exits; its
# mode (root:tavisol 0750) keeps it to the members of the group tavisol.
#
# make uninstall removes every file installed (install_manifest.txt) and what the install
# made besides (install_made.txt in the build folder): the folders that were not there
# before, and the group if it created it.
#
# Those records and the group, owner and capabilities are the install component "system";
# the files are the default one. make package (package-debian.cmake) stages the default
# component alone, leaving the machine that builds the package as it is: the package's
# maintainer scripts do the rest where it is installed.
include(GNUInstallDirs)

set(TAVISOL_INSTALL_MADE ${PROJECT_BINARY_DIR}/install_made.txt)
set(TAVISOL_GROUP tavisol)
set(install_dirs ${CMAKE_INSTALL_BINDIR} ${TAVISOL_SOCKETS_HELPER_DIR}
                 ${CMAKE_INSTALL_DATADIR}/applications
                 ${CMAKE_INSTALL_DATADIR}/icons/hicolor/scalable/apps
                 ${CMAKE_INSTALL_MANDIR}/man1 ${CMAKE_INSTALL_DATADIR}/bash-completion/completions)
foreach(size 16 32 48 64 128 256)
    list(APPEND install_dirs ${CMAKE_INSTALL_DATADIR}/icons/hicolor/${size}x${size}/apps)
endforeach()

# First of all: which of the folders (and the prefix itself) are not there yet. The record
# only grows until an uninstall, so a second install over the first keeps what the first made.
install(CODE "
    set(made \"${TAVISOL_INSTALL_MADE}\")
    set(root \"\$ENV{DESTDIR}\${CMAKE_INSTALL_PREFIX}\")
    foreach(dir \"\" ${install_dirs})
        set(path \"\${root}\")
        string(REPLACE \"/\" \";\" parts \"\${dir}\")
        foreach(part IN ITEMS \"\" \${parts})
            if(NOT part STREQUAL \"\")
                set(path \"\${path}/\${part}\")
            endif()
            if(NOT EXISTS \"\${path}\")
                file(APPEND \"\${made}\" \"dir \${path}\\n\")
                file(MAKE_DIRECTORY \"\${path}\")
            endif()
        endforeach()
    endforeach()
" COMPONENT system)

install(TARGETS tavisol tavisol-cli RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
install(TARGETS tavisol-sockets RUNTIME DESTINATION ${TAVISOL_SOCKETS_HELPER_DIR}
        PERMISSIONS OWNER_READ OWNER_WRITE OWNER_EXECUTE GROUP_READ GROUP_EXECUTE)
install(FILES ${PROJECT_SOURCE_DIR}/docs/man/tavisol.1 ${PROJECT_SOURCE_DIR}/docs/man/tavisol-cli.1
        DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)
# Where bash-completion looks for a command's completion when it is first completed.
install(FILES ${PROJECT_SOURCE_DIR}/packaging/bash-completion/tavisol-cli
        DESTINATION ${CMAKE_INSTALL_DATADIR}/bash-completion/completions)
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

# The capabilities: off both programs (an earlier install gave them some), on the helper,
# whose group is created as a system group when missing. Without root, setcap or groupadd it
# warns and goes on, as a normal user can then still list the configured appliances.
find_program(TAVISOL_SETCAP setcap PATHS /usr/sbin /sbin)
find_program(TAVISOL_GETCAP getcap PATHS /usr/sbin /sbin)
find_program(TAVISOL_GROUPADD groupadd PATHS /usr/sbin /sbin)
install(CODE "
    set(setcap \"${TAVISOL_SETCAP}\")
    set(getcap \"${TAVISOL_GETCAP}\")
    set(groupadd \"${TAVISOL_GROUPADD}\")
    set(group ${TAVISOL_GROUP})
    set(bin \"\$ENV{DESTDIR}\${CMAKE_INSTALL_PREFIX}/${CMAKE_INSTALL_BINDIR}\")
    set(helper \"\$ENV{DESTDIR}\${CMAKE_INSTALL_PREFIX}/${TAVISOL_SOCKETS_HELPER_DIR}/tavisol-sockets\")
    if(NOT setcap OR NOT getcap)
        message(WARNING \"setcap not found (Debian: libcap2-bin): \${helper} gets no capabilities; \"
                        \"a normal user then lists no appliance without an address\")
    else()
        foreach(program tavisol tavisol-cli)
            execute_process(COMMAND \${getcap} \${bin}/\${program} OUTPUT_VARIABLE caps)
            if(NOT caps STREQUAL \"\")
                execute_process(COMMAND \${setcap} -r \${bin}/\${program} RESULT_VARIABLE rc)
                if(rc EQUAL 0)
                    message(STATUS \"Capabilities removed: \${bin}/\${program}\")
                else()
                    message(WARNING \"\${bin}/\${program} keeps capabilities (\${caps}): run make \"
                                    \"install as root\")
                endif()
            endif()
        endforeach()
    endif()

    execute_process(COMMAND getent group \${group} RESULT_VARIABLE missing OUTPUT_QUIET)
    if(NOT missing EQUAL 0 AND groupadd)
        execute_process(COMMAND \${groupadd} --system \${group} RESULT_VARIABLE rc ERROR_VARIABLE err)
        if(rc EQUAL 0)
            file(APPEND \"${TAVISOL_INSTALL_MADE}\" \"group \${group}\\n\")
            message(STATUS \"Group created: \${group}\")
            set(missing 0)
        endif()
    endif()
    if(missing EQUAL 0)
        # chown clears file capabilities, so it comes before setcap.
        execute_process(COMMAND chown root:\${group} \${helper} RESULT_VARIABLE rc ERROR_VARIABLE err)
    else()
        set(rc 1)
        set(err \"no group \${group} (groupadd needs root)\")
    endif()
    if(NOT rc EQUAL 0)
        message(WARNING \"\${helper} is not root:\${group} (\${err}): it stays usable by its owner \"
                        \"and group only; run make install as root\")
    endif()

    if(setcap)
        execute_process(COMMAND \${setcap} cap_net_bind_service,cap_net_raw+ep \${helper}
                        RESULT_VARIABLE rc ERROR_VARIABLE err)
        if(rc EQUAL 0)
            message(STATUS \"Capabilities cap_net_bind_service,cap_net_raw+ep: \${helper}\")
        else()
            message(WARNING \"setcap failed on \${helper} (\${err}): run make install as root; \"
                            \"without them a normal user cannot open port 67\")
        endif()
    endif()
" COMPONENT system)

add_custom_target(uninstall
    COMMAND ${CMAKE_COMMAND} -DMANIFEST=${PROJECT_BINARY_DIR}/install_manifest.txt
            -DMADE=${TAVISOL_INSTALL_MADE} -P ${CMAKE_CURRENT_LIST_DIR}/uninstall.cmake
    COMMENT "Removing what make install put down"
    VERBATIM)
