# SPDX-License-Identifier: Apache-2.0
# Debian packages by CPack, one per install component:
#   tmmpio-emcpowerpath  the plug-in and its header
#   tmmpio-host          the host stand-in libTmHost.so.1, its headers, the
#                        CMake package and pkg-config file
#   tmmpio-tools         mpioctl, its JSON Schemas, man page and completion
#   tmmpio-sim           mpio-sandbox, powermt-sim, the topologies
# scripts/package.sh builds them in one command (the package presets).
set(CPACK_PACKAGE_NAME tmmpio)
set(CPACK_PACKAGE_VENDOR "Trelmaron")
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY ${PROJECT_DESCRIPTION})
set(CPACK_PACKAGE_DIRECTORY ${PROJECT_BINARY_DIR}/packages)
set(CPACK_PACKAGING_INSTALL_PREFIX ${CMAKE_INSTALL_PREFIX})
set(CPACK_STRIP_FILES ON)
set(CPACK_GENERATOR DEB)
set(CPACK_COMPONENTS_ALL plugin host tools sim)

set(CPACK_DEB_COMPONENT_INSTALL ON)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_MAINTAINER "TmMPIO maintainers <tmmpio@localhost>")
set(CPACK_DEBIAN_PACKAGE_SECTION admin)
# Library dependencies from dpkg-shlibdeps; those between the components
# from the components' DEPENDS, at this very version.
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_DEBIAN_ENABLE_COMPONENT_DEPENDS ON)
# mpioctl's libTmHost.so.1 comes from the tmmpio-host package: dpkg-shlibdeps
# finds it in the build tree and leaves it to that DEPENDS.
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS_PRIVATE_DIRS ${PROJECT_BINARY_DIR}/lib)
set(CPACK_DEBIAN_PACKAGE_GENERATE_SHLIBS ON)
set(CPACK_DEBIAN_PACKAGE_GENERATE_SHLIBS_POLICY "=")

set(CPACK_DEBIAN_PLUGIN_PACKAGE_NAME tmmpio-emcpowerpath)
set(CPACK_DEBIAN_HOST_PACKAGE_NAME tmmpio-host)
set(CPACK_DEBIAN_TOOLS_PACKAGE_NAME tmmpio-tools)
set(CPACK_DEBIAN_SIM_PACKAGE_NAME tmmpio-sim)
set(CPACK_DEBIAN_HOST_PACKAGE_SECTION libdevel)
# The plug-in's pipelines need awk besides the essential shell, cat and grep;
# the simulator writes partition tables with sfdisk.
set(CPACK_DEBIAN_PLUGIN_PACKAGE_DEPENDS "mawk | awk")
set(CPACK_DEBIAN_SIM_PACKAGE_DEPENDS "fdisk")

include(CPack)
cpack_add_component(plugin DISPLAY_NAME "EMC PowerPath plug-in"
    DESCRIPTION "The multipath-I/O vendor plug-in libTmMPIO_EMCPowerPath.so, loaded by a host application, and its header.")
cpack_add_component(host DISPLAY_NAME "Host stand-in" DEPENDS plugin
    DESCRIPTION "libTmHost, the host services that the plug-in binds (process runner, debug log, splitter, partition reader), with its headers, CMake package and pkg-config file.")
cpack_add_component(tools DISPLAY_NAME "mpioctl" DEPENDS plugin host
    DESCRIPTION "mpioctl, the command-line host that loads the plug-in and calls its entry points, with JSON Schemas, man page and bash completion.")
cpack_add_component(sim DISPLAY_NAME "Simulated PowerPath machine"
    DESCRIPTION "mpio-sandbox and powermt-sim: a simulated EMC PowerPath machine for trying the plug-in without a storage array.")
