# SPDX-License-Identifier: Apache-2.0
# Debian or RPM packages by CPack, one per install component, named and laid
# out as each kind of distribution does:
#
#   component  Debian               RPM                  holds
#   plugin     tmmpio-emcpowerpath  tmmpio-emcpowerpath  the plug-in
#   host       libtmhost1           libTmHost1           libTmHost.so.1
#   devel      libtmhost-dev        tmmpio-devel         the headers, libTmHost.so, the
#                                                        CMake package, tmmpio.pc
#   tools      tmmpio-tools         tmmpio-tools         mpioctl, its JSON Schemas, man
#                                                        page and bash completion
#   sim        tmmpio-sim           tmmpio-simulator     mpio-sandbox, powermt-sim and
#                                                        the topologies
#
# The shared library's package carries the soname's number (Debian's and
# openSUSE's rule: two sonames can be installed side by side). The RPM of the
# simulator is not called tmmpio-sim, which rpm tools take for the
# translations of a package into the language "sim" (ISO 639-3).
#
# A build tree makes one kind (MPIO_PACKAGE_FORMAT). The RPMs install into
# %{_libdir} (lib64), and the libdir is compiled into mpioctl (where it looks
# for the plug-in, its RUNPATH) and written into the CMake package and
# tmmpio.pc, so each kind has a preset and a tree of its own (package,
# package-rpm); scripts/package.sh builds both. Each package carries in
# share/doc/<package>/ the documents that its kind of distribution asks for.
# The files of the packaging alone are in packaging/.
include(${CMAKE_CURRENT_LIST_DIR}/ExecuteChecked.cmake)
set(MPIO_PACKAGE_FORMAT DEB CACHE STRING "The kind of packages that CPack makes: DEB or RPM")
set_property(CACHE MPIO_PACKAGE_FORMAT PROPERTY STRINGS DEB RPM)
if(NOT MPIO_PACKAGE_FORMAT MATCHES "^(DEB|RPM)$")
    message(FATAL_ERROR "MPIO_PACKAGE_FORMAT is DEB or RPM, not \"${MPIO_PACKAGE_FORMAT}\"")
endif()

set(MPIO_PACKAGE_MAINTAINER "TmMPIO maintainers <tmmpio@trelmaron.com>")
# The packaging's own revision of the project's version: the Debian revision
# and the RPM release.
set(MPIO_PACKAGE_RELEASE 1)
set(MPIO_PACKAGE_FULL_VERSION ${PROJECT_VERSION}-${MPIO_PACKAGE_RELEASE})
set(packaging_dir ${PROJECT_SOURCE_DIR}/packaging)
set(packaging_out ${PROJECT_BINARY_DIR}/packaging)

# The changelogs' entry for this version carries the release's date.
# mpio_release_date(VAR FORMAT): the date of the release in date(1)'s FORMAT.
function(mpio_release_date var format)
    mpio_execute_checked("date(1) of the release date ${MPIO_RELEASE_DATE}"
        COMMAND ${CMAKE_COMMAND} -E env LC_ALL=C TZ=UTC date -u -d "${MPIO_RELEASE_DATE}" "${format}"
        OUTPUT_VARIABLE date OUTPUT_STRIP_TRAILING_WHITESPACE)
    set(${var} "${date}" PARENT_SCOPE)
endfunction()

# mpio_gzip(FROM TO): TO is FROM compressed as Debian wants it: best
# compression, no name and no time stamp, so that it is reproducible.
function(mpio_gzip from to)
    mpio_execute_checked("gzip of ${from}" COMMAND gzip -9nc "${from}" OUTPUT_FILE "${to}")
    set_property(DIRECTORY APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS "${from}")
endfunction()

set(CPACK_GENERATOR ${MPIO_PACKAGE_FORMAT})
set(CPACK_PACKAGE_NAME tmmpio)
set(CPACK_PACKAGE_VENDOR "Trelmaron")
set(CPACK_PACKAGE_CONTACT ${MPIO_PACKAGE_MAINTAINER})
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(MPIO_PACKAGE_DIRECTORY ${PROJECT_BINARY_DIR}/packages CACHE PATH "Where CPack puts the packages")
set(CPACK_PACKAGE_DIRECTORY ${MPIO_PACKAGE_DIRECTORY})
set(CPACK_PACKAGING_INSTALL_PREFIX ${CMAKE_INSTALL_PREFIX})
set(CPACK_STRIP_FILES ON)
# The packages install into /usr and nowhere else (tmmpio.pc holds /usr).
set(CPACK_PACKAGE_RELOCATABLE OFF)
set(CPACK_COMPONENTS_ALL plugin host devel tools sim)
# What only the built library can tell (cmake/CPackProjectConfig.cmake.in).
configure_file(${CMAKE_CURRENT_LIST_DIR}/CPackProjectConfig.cmake.in
               ${packaging_out}/CPackProjectConfig.cmake.in @ONLY)
file(GENERATE OUTPUT ${packaging_out}/CPackProjectConfig.cmake
              INPUT ${packaging_out}/CPackProjectConfig.cmake.in)
set(CPACK_PROJECT_CONFIG_FILE ${packaging_out}/CPackProjectConfig.cmake)

# Debian: version 1.0.0-1, a source package tmmpio.
set(CPACK_DEB_COMPONENT_INSTALL ON)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_RELEASE ${MPIO_PACKAGE_RELEASE})
set(CPACK_DEBIAN_PACKAGE_SOURCE tmmpio)
set(CPACK_DEBIAN_PACKAGE_MAINTAINER ${MPIO_PACKAGE_MAINTAINER})
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)
# Library dependencies from dpkg-shlibdeps; those between the packages from
# the components' DEPENDS, at this very version. mpioctl's libTmHost.so.1 is
# found in the build tree and left to those.
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS_PRIVATE_DIRS ${PROJECT_BINARY_DIR}/lib)
set(CPACK_DEBIAN_ENABLE_COMPONENT_DEPENDS ON)
# CPack writes ldconfig maintainer scripts for every library under /usr/lib
# of a package whose files it examines; libtmhost1 uses ldconfig's trigger
# instead, so its dependencies and its symbols file come from
# CPackProjectConfig.cmake, and its shlibs file from here.
set(CPACK_DEBIAN_PACKAGE_GENERATE_SHLIBS OFF)
set(CPACK_DEBIAN_HOST_PACKAGE_SHLIBDEPS OFF)

# RPM: name-version-release.arch.rpm.
set(CPACK_RPM_COMPONENT_INSTALL ON)
set(CPACK_RPM_FILE_NAME RPM-DEFAULT)
set(CPACK_RPM_PACKAGE_RELEASE ${MPIO_PACKAGE_RELEASE})
set(CPACK_RPM_PACKAGE_LICENSE Apache-2.0)
# No debuginfo packages are made, so no /usr/lib/.build-id links either.
set(CPACK_RPM_SPEC_MORE_DEFINE "%define packager ${MPIO_PACKAGE_MAINTAINER}\n%define _build_id_links none")
mpio_release_date(MPIO_RPM_DATE "+%a %b %d %Y")
configure_file(${packaging_dir}/rpm/changelog.in ${packaging_out}/rpm-changelog @ONLY)
set(CPACK_RPM_CHANGELOG_FILE ${packaging_out}/rpm-changelog)
# Directories that the system or other packages own; CPack leaves out /usr,
# /usr/bin, /usr/include, /usr/lib64, /usr/share and /usr/share/doc itself.
set(CPACK_RPM_EXCLUDE_FROM_AUTO_FILELIST_ADDITION
    ${CMAKE_INSTALL_FULL_LIBDIR}/cmake
    ${CMAKE_INSTALL_FULL_LIBDIR}/pkgconfig
    ${CMAKE_INSTALL_FULL_MANDIR}
    ${CMAKE_INSTALL_FULL_MANDIR}/man1
    ${CMAKE_INSTALL_FULL_MANDIR}/man3
    ${CMAKE_INSTALL_FULL_MANDIR}/man5
    ${CMAKE_INSTALL_FULL_DATADIR}/bash-completion
    ${CMAKE_INSTALL_FULL_DATADIR}/bash-completion/completions
    ${CMAKE_INSTALL_FULL_DATADIR}/licenses)

# The documents of one package, as its kind of distribution wants them, in
# the package's component only (EXCLUDE_FROM_ALL: a plain install of the whole
# tree does not get them). Debian: copyright (machine-readable),
# changelog.Debian.gz, the project's CHANGELOG.md as changelog.gz and the
# other documents compressed, and the lintian overrides that every package
# shares. RPM: the documents as they are, marked %doc, and LICENSE as
# %license.
# mpio_package_docs(COMPONENT PACKAGE DOC...)
function(mpio_package_docs component package)
    set(docdir ${CMAKE_INSTALL_DATADIR}/doc/${package})
    if(MPIO_PACKAGE_FORMAT STREQUAL "DEB")
        set(staged ${packaging_out}/doc/${package})
        file(REMOVE_RECURSE ${staged})
        file(MAKE_DIRECTORY ${staged})
        configure_file(${packaging_dir}/debian/copyright.in ${staged}/copyright @ONLY)
        mpio_gzip(${packaging_out}/changelog.Debian ${staged}/changelog.Debian.gz)
        mpio_gzip(${PROJECT_SOURCE_DIR}/CHANGELOG.md ${staged}/changelog.gz)
        foreach(doc IN LISTS ARGN)
            get_filename_component(name "${doc}" NAME)
            mpio_gzip(${PROJECT_SOURCE_DIR}/${doc} ${staged}/${name}.gz)
        endforeach()
        install(DIRECTORY ${staged}/ DESTINATION ${docdir} COMPONENT ${component} EXCLUDE_FROM_ALL)
        # The overrides every package shares, then the package's own.
        file(READ ${packaging_dir}/debian/lintian-overrides overrides)
        set(own_overrides ${packaging_dir}/debian/${package}.lintian-overrides)
        if(EXISTS ${own_overrides})
            file(READ ${own_overrides} own)
            string(APPEND overrides "${own}")
            set_property(DIRECTORY APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS ${own_overrides})
        endif()
        file(WRITE ${packaging_out}/lintian/${package} "${overrides}")
        install(FILES ${packaging_out}/lintian/${package}
                DESTINATION ${CMAKE_INSTALL_DATADIR}/lintian/overrides
                COMPONENT ${component} EXCLUDE_FROM_ALL)
    else()
        set(docs CHANGELOG.md ${ARGN})
        list(TRANSFORM docs PREPEND ${PROJECT_SOURCE_DIR}/ OUTPUT_VARIABLE sources)
        install(FILES ${sources} DESTINATION ${docdir} COMPONENT ${component} EXCLUDE_FROM_ALL)
        set(licensedir ${CMAKE_INSTALL_DATADIR}/licenses/${package})
        install(FILES ${PROJECT_SOURCE_DIR}/LICENSE DESTINATION ${licensedir}
                COMPONENT ${component} EXCLUDE_FROM_ALL)
        set(filelist "%license ${CMAKE_INSTALL_PREFIX}/${licensedir}/LICENSE")
        foreach(doc IN LISTS docs)
            get_filename_component(name "${doc}" NAME)
            list(APPEND filelist "%doc ${CMAKE_INSTALL_PREFIX}/${docdir}/${name}")
        endforeach()
        string(TOUPPER ${component} upper)
        set(CPACK_RPM_${upper}_USER_FILELIST ${filelist} PARENT_SCOPE)
    endif()
endfunction()

# mpio_package(COMPONENT DEB name RPM name SECTION debian-section
#              GROUP rpm-group SUMMARY synopsis DESCRIPTION text
#              [DEPENDS component...] [DOCS file...])
# One package: its names, synopsis and description (lines of at most 79
# characters), the packages of the same version that it needs, and its
# documents besides CHANGELOG.md.
function(mpio_package component)
    cmake_parse_arguments(PARSE_ARGV 1 arg "" "DEB;RPM;SECTION;GROUP;SUMMARY;DESCRIPTION" "DEPENDS;DOCS")
    string(TOUPPER ${component} upper)
    set(CPACK_DEBIAN_${upper}_PACKAGE_NAME ${arg_DEB} PARENT_SCOPE)
    set(CPACK_DEBIAN_${upper}_PACKAGE_SECTION ${arg_SECTION} PARENT_SCOPE)
    set(CPACK_DEBIAN_${upper}_DESCRIPTION "${arg_SUMMARY}\n${arg_DESCRIPTION}" PARENT_SCOPE)
    set(CPACK_RPM_${upper}_PACKAGE_NAME ${arg_RPM} PARENT_SCOPE)
    set(CPACK_RPM_${upper}_PACKAGE_SUMMARY ${arg_SUMMARY} PARENT_SCOPE)
    set(CPACK_RPM_${upper}_PACKAGE_DESCRIPTION ${arg_DESCRIPTION} PARENT_SCOPE)
    set(CPACK_RPM_${upper}_PACKAGE_GROUP ${arg_GROUP} PARENT_SCOPE)
    set(CPACK_COMPONENT_${upper}_DEPENDS ${arg_DEPENDS} PARENT_SCOPE)
    set(requires)
    foreach(needed IN LISTS arg_DEPENDS)
        string(TOUPPER ${needed} needed_upper)
        list(APPEND requires "${CPACK_RPM_${needed_upper}_PACKAGE_NAME} = ${MPIO_PACKAGE_FULL_VERSION}")
    endforeach()
    list(JOIN requires ", " requires)
    set(CPACK_RPM_${upper}_PACKAGE_REQUIRES ${requires} PARENT_SCOPE)
    mpio_package_docs(${component} ${arg_${MPIO_PACKAGE_FORMAT}} ${arg_DOCS})
    set(CPACK_RPM_${upper}_USER_FILELIST ${CPACK_RPM_${upper}_USER_FILELIST} PARENT_SCOPE)
endfunction()

# The Debian changelog: one entry, this version's, dated as the release.
mpio_release_date(MPIO_DEBIAN_DATE "-R")
set(MPIO_DEBIAN_VERSION ${MPIO_PACKAGE_FULL_VERSION})
configure_file(${packaging_dir}/debian/changelog.in ${packaging_out}/changelog.Debian @ONLY)
string(SUBSTRING ${MPIO_RELEASE_DATE} 0 4 MPIO_COPYRIGHT_YEAR)

mpio_package(plugin DEB tmmpio-emcpowerpath RPM tmmpio-emcpowerpath
    SECTION admin GROUP System/Management
    SUMMARY "EMC PowerPath multipath-I/O plug-in for TmMPIO hosts"
    DESCRIPTION [[
libTmMPIO_EMCPowerPath.so is the multipath-I/O vendor plug-in that a host
application loads by path to manage the pseudo block devices of EMC
PowerPath (/dev/emcpowera, ...): it lists them, names the physical sd paths
behind each one, lists their partitions, and rescans the configuration or
removes a device through powermt. It takes the host services that it calls
(process runner, debug log, string splitter, partition reader) from the
program that loads it.]]
    DOCS README.md docs/INTEGRATION.md)

mpio_package(host DEB libtmhost1 RPM libTmHost1
    SECTION libs GROUP System/Libraries
    SUMMARY "Host services for the TmMPIO EMC PowerPath plug-in (library)"
    DESCRIPTION [[
libTmHost provides the services that the TmMPIO EMC PowerPath plug-in binds
from the program that loads it: a process runner with time limits, a debug
log, a string splitter and a partition-table reader based on libblkid. A
host program links it so that the plug-in finds them.

This package contains the shared library.]])

mpio_package(devel DEB libtmhost-dev RPM tmmpio-devel
    SECTION libdevel GROUP "Development/Libraries/C and C++"
    SUMMARY "Development files for TmMPIO host programs"
    DESCRIPTION [[
The headers of the TmMPIO EMC PowerPath plug-in's interface and of the host
services, with the link to libTmHost, the CMake package TmMPIO
(TmMPIO::headers, TmMPIO::TmHost) and the pkg-config file tmmpio.pc: what a
host program that loads the plug-in builds against. The contract between
the plug-in and its hosts is INTEGRATION.md.]]
    DEPENDS host
    DOCS README.md docs/INTEGRATION.md)

mpio_package(tools DEB tmmpio-tools RPM tmmpio-tools
    SECTION admin GROUP System/Management
    SUMMARY "Command-line host that drives TmMPIO multipath-I/O plug-ins"
    DESCRIPTION [[
mpioctl loads a multipath-I/O vendor plug-in, by default the EMC PowerPath
one, and calls its entry points: it lists the pseudo devices, their paths
and partitions, shows the inventory that a host sees at start-up, and
rescans or removes devices. It prints aligned text or JSON documents, whose
JSON Schemas it ships, and comes with a man page and bash completion.]]
    DEPENDS plugin host)

mpio_package(sim DEB tmmpio-sim RPM tmmpio-simulator
    SECTION admin GROUP System/Emulators/Other
    SUMMARY "Simulated EMC PowerPath machine for trying TmMPIO plug-ins"
    DESCRIPTION [[
mpio-sandbox runs a command in a private mount namespace where
/proc/partitions, /proc/devices, /dev and powermt show a simulated EMC
PowerPath machine described by a topology file; powermt-sim is the
simulated powermt. With them the plug-in and mpioctl can be tried on a
machine without a storage array. Example topologies are included.]])

# The host library's control files. Debian: the shlibs file, ldconfig's
# trigger and (CPackProjectConfig.cmake) the symbols file. RPM: ldconfig in
# %post and %postun.
get_target_property(MPIO_TMHOST_SOVERSION TmHost SOVERSION)
configure_file(${packaging_dir}/debian/libtmhost1/shlibs.in ${packaging_out}/libtmhost1/shlibs @ONLY)
set(CPACK_DEBIAN_HOST_PACKAGE_CONTROL_EXTRA
    ${packaging_out}/libtmhost1/shlibs ${packaging_dir}/debian/libtmhost1/triggers)
set(CPACK_RPM_HOST_POST_INSTALL_SCRIPT_FILE ${packaging_dir}/rpm/ldconfig.sh)
set(CPACK_RPM_HOST_POST_UNINSTALL_SCRIPT_FILE ${packaging_dir}/rpm/ldconfig.sh)
# The development package recommends the plug-in that TmMPIO_PLUGIN names
# (Debian only: CPack 3.25 writes no weak dependency of an RPM with rpm 4.18),
# the simulator needs sfdisk, and nothing else is needed beyond the
# libraries: the plug-in's cat, grep and awk are part of every installation.
set(CPACK_DEBIAN_DEVEL_PACKAGE_RECOMMENDS tmmpio-emcpowerpath)
set(CPACK_DEBIAN_SIM_PACKAGE_DEPENDS fdisk)
set(CPACK_RPM_SIM_PACKAGE_REQUIRES util-linux)
# The plug-in is loaded by path, never linked against: it provides no library
# to other packages.
set(CPACK_RPM_PLUGIN_PACKAGE_AUTOPROV no)
# Up to 1.0.0 the Debian package tmmpio-host held libTmHost with its
# development files, and tmmpio-emcpowerpath the plug-in's header.
set(CPACK_DEBIAN_HOST_PACKAGE_REPLACES "tmmpio-host (<< 1.0.0-1)")
set(CPACK_DEBIAN_HOST_PACKAGE_BREAKS "tmmpio-host (<< 1.0.0-1)")
set(CPACK_DEBIAN_DEVEL_PACKAGE_REPLACES "tmmpio-host (<< 1.0.0-1), tmmpio-emcpowerpath (<< 1.0.0-1)")
set(CPACK_DEBIAN_DEVEL_PACKAGE_BREAKS "tmmpio-host (<< 1.0.0-1), tmmpio-emcpowerpath (<< 1.0.0-1)")

include(CPack)
