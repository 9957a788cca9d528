# SPDX-License-Identifier: Apache-2.0
# The man pages, written in roff in man/: configured with the project's
# version, its release date and the installed paths, compressed with
# gzip -9n and installed with their component:
#   tools   mpioctl(1)
#   sim     mpio-sandbox(1), powermt-sim(1), tmmpio-topology(5)
#   devel   tmmpio(3tmmpio), the plug-in, and one page per entry point, in the
#           section suffix 3tmmpio so that no other package's page (such as
#           init(3)) is shadowed; they go with the header
option(MPIO_MANUALS "Build and install the man pages" ON)
if(NOT MPIO_MANUALS)
    return()
endif()
find_program(MPIO_GZIP gzip REQUIRED)

# The date of this version's heading in CHANGELOG.md (cmake/ReleaseVersion.cmake),
# so that every page of a version carries the same date, whenever it is built.
set(MPIO_MAN_DATE ${MPIO_RELEASE_DATE})

# Installed paths that the pages name, under the configured prefix.
set(MPIO_MAN_DATADIR "${MPIO_INSTALL_FULL_DATADIR}")
set(MPIO_MAN_PLUGIN "${MPIO_INSTALL_FULL_PLUGINDIR}/libTmMPIO_EMCPowerPath.so")
set(MPIO_MAN_PLUGIN_FROM_BIN "${MPIO_BIN_TO_PLUGINDIR}")
set(MPIO_MAN_BINDIR "${CMAKE_INSTALL_FULL_BINDIR}")
set(MPIO_MAN_INCLUDEDIR "${CMAKE_INSTALL_FULL_INCLUDEDIR}")
set(MPIO_MAN_COMPLETIONDIR "${CMAKE_INSTALL_FULL_DATADIR}/bash-completion/completions")
# Where the plug-in's package keeps INTEGRATION.md, README.md and
# CHANGELOG.md: the package name of cmake/Packaging.cmake.
set(MPIO_MAN_PLUGIN_DOCDIR "${CMAKE_INSTALL_FULL_DATAROOTDIR}/doc/tmmpio-emcpowerpath" CACHE STRING
    "Directory of the plug-in's documentation, as the section 3 pages name it")

# COMPONENT|SECTION|NAME: the source is man/NAME.SECTION.in.
set(man_pages
    "devel|3tmmpio|tmmpio"
    "devel|3tmmpio|init"
    "devel|3tmmpio|getVendorName"
    "devel|3tmmpio|getMPIODevices"
    "devel|3tmmpio|isMPIODevice"
    "devel|3tmmpio|getUnderlyingDevices"
    "devel|3tmmpio|isPartitionDevice"
    "devel|3tmmpio|getPartitionDevices"
    "devel|3tmmpio|refreshMPIO"
    "devel|3tmmpio|deleteMPIODevice")
list(APPEND man_pages
    "tools|1|mpioctl"
    "sim|1|mpio-sandbox"
    "sim|1|powermt-sim"
    "sim|5|tmmpio-topology")

set(man_dir ${PROJECT_BINARY_DIR}/man)
set(man_outputs)
foreach(entry IN LISTS man_pages)
    string(REPLACE "|" ";" fields "${entry}")
    list(GET fields 0 component)
    list(GET fields 1 section)
    list(GET fields 2 name)
    set(page ${name}.${section})
    # The page as configured, then compressed beside it; the tests read both.
    configure_file(${PROJECT_SOURCE_DIR}/man/${page}.in ${man_dir}/configured/${page} @ONLY)
    add_custom_command(OUTPUT ${man_dir}/${page}.gz
        COMMAND ${CMAKE_COMMAND} -E copy ${man_dir}/configured/${page} ${man_dir}/${page}
        COMMAND ${MPIO_GZIP} -9nf ${man_dir}/${page}
        DEPENDS ${man_dir}/configured/${page}
        COMMENT "Man page ${name}(${section})"
        VERBATIM)
    # 3tmmpio pages go to man3, as every section's suffix does.
    string(SUBSTRING "${section}" 0 1 section_number)
    install(FILES ${man_dir}/${page}.gz
            DESTINATION ${CMAKE_INSTALL_MANDIR}/man${section_number} COMPONENT ${component})
    list(APPEND man_outputs ${man_dir}/${page}.gz)
endforeach()
add_custom_target(manuals ALL DEPENDS ${man_outputs})
set(MPIO_MAN_PAGES ${man_outputs}) # for the tests
