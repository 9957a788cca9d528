# SPDX-License-Identifier: Apache-2.0
# What a host program or a test suite builds against: the CMake package
# TmMPIO (find_package(TmMPIO) gives TmMPIO::headers, the plug-in's and the
# host services' headers, and TmMPIO::TmHost, the host stand-in) and the
# pkg-config file tmmpio.pc. All of it is in the devel component.
include(CMakePackageConfigHelpers)

add_library(mpio_headers INTERFACE)
target_include_directories(mpio_headers INTERFACE $<INSTALL_INTERFACE:${CMAKE_INSTALL_INCLUDEDIR}>)
# inline constexpr variables and static_assert without a message.
target_compile_features(mpio_headers INTERFACE cxx_std_17)
set_target_properties(mpio_headers PROPERTIES EXPORT_NAME headers)
install(TARGETS mpio_headers EXPORT TmMPIOTargets COMPONENT devel)
install(EXPORT TmMPIOTargets NAMESPACE TmMPIO:: DESTINATION ${MPIO_INSTALL_CMAKEDIR} COMPONENT devel)

# The package is relocatable: it finds the rest of the tree from where it lies.
configure_package_config_file(${CMAKE_CURRENT_LIST_DIR}/TmMPIOConfig.cmake.in
    ${PROJECT_BINARY_DIR}/TmMPIOConfig.cmake
    INSTALL_DESTINATION ${MPIO_INSTALL_CMAKEDIR}
    PATH_VARS MPIO_INSTALL_PLUGINDIR MPIO_INSTALL_DATADIR)
# Versions of one major version are compatible (docs/INTEGRATION.md).
write_basic_package_version_file(${PROJECT_BINARY_DIR}/TmMPIOConfigVersion.cmake
    COMPATIBILITY SameMajorVersion)
install(FILES ${PROJECT_BINARY_DIR}/TmMPIOConfig.cmake ${PROJECT_BINARY_DIR}/TmMPIOConfigVersion.cmake
        DESTINATION ${MPIO_INSTALL_CMAKEDIR} COMPONENT devel)

# tmmpio.pc in two forms, chosen when it is installed: with absolute paths
# for /usr (the packages), so that pkg-config leaves out the system's include
# and library directories; anywhere else with paths relative to the file,
# so that the tree still works when it is moved.
set(pkgconfig_dir ${CMAKE_INSTALL_LIBDIR}/pkgconfig)
set(MPIO_PKGCONFIG_PREFIX /usr)
configure_file(${CMAKE_CURRENT_LIST_DIR}/tmmpio.pc.in ${PROJECT_BINARY_DIR}/pkgconfig/usr/tmmpio.pc @ONLY)
mpio_relative_path(pkgconfig_to_prefix "${pkgconfig_dir}" ".")
set(MPIO_PKGCONFIG_PREFIX "\${pcfiledir}/${pkgconfig_to_prefix}")
configure_file(${CMAKE_CURRENT_LIST_DIR}/tmmpio.pc.in ${PROJECT_BINARY_DIR}/pkgconfig/relocatable/tmmpio.pc @ONLY)
install(CODE "
    if(CMAKE_INSTALL_PREFIX STREQUAL \"/usr\")
        set(mpio_pc_form usr)
    else()
        set(mpio_pc_form relocatable)
    endif()
    file(INSTALL \"${PROJECT_BINARY_DIR}/pkgconfig/\${mpio_pc_form}/tmmpio.pc\"
         DESTINATION \"\${CMAKE_INSTALL_PREFIX}/${pkgconfig_dir}\")"
    COMPONENT devel)
