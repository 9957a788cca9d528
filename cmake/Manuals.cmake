# SPDX-License-Identifier: Apache-2.0
# Man pages mpioctl(1), mpio-sandbox(1) and powermt-sim(1), made by help2man
# from the programs' own --help and --version, so they never drift from them.
find_program(MPIO_HELP2MAN help2man)
if(MPIO_HELP2MAN)
    set(manuals_default ON)
else()
    set(manuals_default OFF)
endif()
option(MPIO_MANUALS "Build and install the man pages (needs help2man)" ${manuals_default})
if(NOT MPIO_MANUALS)
    return()
endif()
if(NOT MPIO_HELP2MAN)
    message(FATAL_ERROR "MPIO_MANUALS needs help2man (scripts/deps.sh installs it)")
endif()

set(manual_dir ${PROJECT_BINARY_DIR}/man)
# The help of an installed mpioctl names the installed plug-in.
set(manual_plugin ${CMAKE_INSTALL_PREFIX}/${MPIO_INSTALL_PLUGINDIR}/libTmMPIO_EMCPowerPath.so)
set(manual_pages)
foreach(entry IN ITEMS
        "mpioctl|tools|load a multipath-I/O vendor plug-in and call its entry points"
        "mpio-sandbox|sim|run a command on a simulated EMC PowerPath machine"
        "powermt-sim|sim|the simulated EMC PowerPath powermt command")
    string(REPLACE "|" ";" fields "${entry}")
    list(GET fields 0 program)
    list(GET fields 1 component)
    list(GET fields 2 summary)
    # mpioctl's page is the installed program's help, which describes where
    # it finds the plug-in when installed; run here, it finds libTmHost
    # through LD_LIBRARY_PATH.
    set(target ${program})
    if(program STREQUAL "mpioctl")
        set(target mpioctl-installed)
    endif()
    set(page ${manual_dir}/${program}.1)
    add_custom_command(OUTPUT ${page}.gz
        COMMAND ${CMAKE_COMMAND} -E make_directory ${manual_dir}
        COMMAND ${CMAKE_COMMAND} -E env MPIOCTL_PLUGIN=${manual_plugin}
                LD_LIBRARY_PATH=$<TARGET_FILE_DIR:TmHost>
                ${MPIO_HELP2MAN} --no-info --section=1 --name=${summary}
                --include=${CMAKE_CURRENT_LIST_DIR}/man/${program}.h2m
                --output=${page} $<TARGET_FILE:${target}>
        COMMAND gzip -9nf ${page}
        DEPENDS ${target} ${CMAKE_CURRENT_LIST_DIR}/man/${program}.h2m
        COMMENT "Man page ${program}(1)"
        VERBATIM)
    install(FILES ${page}.gz DESTINATION ${CMAKE_INSTALL_MANDIR}/man1 COMPONENT ${component})
    list(APPEND manual_pages ${page}.gz)
endforeach()
add_custom_target(manuals ALL DEPENDS ${manual_pages})
