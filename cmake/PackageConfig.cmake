# SPDX-License-Identifier: Apache-2.0
# What a host program or a test suite builds against: the CMake package
# TmMPIO (find_package(TmMPIO) gives TmMPIO::headers, the plug-in's and the
# host services' headers, and TmMPIO::TmHost, the host stand-in) and the
# pkg-config file tmmpio.pc. Both are relocatable: they find the rest of the
# installed tree from where they lie.
include(CMakePackageConfigHelpers)

add_library(mpio_headers INTERFACE)
target_include_directories(mpio_headers INTERFACE $<INSTALL_INTERFACE:${CMAKE_INSTALL_INCLUDEDIR}>)
set_target_properties(mpio_headers PROPERTIES EXPORT_NAME headers)
install(TARGETS mpio_headers EXPORT TmMPIOTargets COMPONENT host)
install(EXPORT TmMPIOTargets NAMESPACE TmMPIO:: DESTINATION ${MPIO_INSTALL_CMAKEDIR} COMPONENT host)

configure_package_config_file(${CMAKE_CURRENT_LIST_DIR}/TmMPIOConfig.cmake.in
    ${PROJECT_BINARY_DIR}/TmMPIOConfig.cmake
    INSTALL_DESTINATION ${MPIO_INSTALL_CMAKEDIR}
    PATH_VARS MPIO_INSTALL_PLUGINDIR MPIO_INSTALL_DATADIR)
# Versions of one major version are compatible (docs/INTEGRATION.md).
write_basic_package_version_file(${PROJECT_BINARY_DIR}/TmMPIOConfigVersion.cmake
    COMPATIBILITY SameMajorVersion)
install(FILES ${PROJECT_BINARY_DIR}/TmMPIOConfig.cmake ${PROJECT_BINARY_DIR}/TmMPIOConfigVersion.cmake
        DESTINATION ${MPIO_INSTALL_CMAKEDIR} COMPONENT host)

mpio_relative_path(MPIO_PKGCONFIG_TO_PREFIX "${CMAKE_INSTALL_LIBDIR}/pkgconfig" ".")
configure_file(${CMAKE_CURRENT_LIST_DIR}/tmmpio.pc.in ${PROJECT_BINARY_DIR}/tmmpio.pc @ONLY)
install(FILES ${PROJECT_BINARY_DIR}/tmmpio.pc
        DESTINATION ${CMAKE_INSTALL_LIBDIR}/pkgconfig COMPONENT host)
