# SPDX-License-Identifier: Apache-2.0
# The generated header TmMPIOVersion.h, for the programs and the host
# stand-in (never the plug-in: its exported symbols stay as they are).
configure_file(${CMAKE_CURRENT_LIST_DIR}/version.h.in
               ${PROJECT_BINARY_DIR}/generated/TmMPIOVersion.h @ONLY)
add_library(mpio_version INTERFACE)
target_include_directories(mpio_version INTERFACE
    $<BUILD_INTERFACE:${PROJECT_BINARY_DIR}/generated>)
