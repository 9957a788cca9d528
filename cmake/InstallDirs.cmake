# SPDX-License-Identifier: Apache-2.0
# Where everything is installed (GNUInstallDirs), and the relative paths that
# keep an installed tree working wherever it is moved.
include(GNUInstallDirs)

# The plug-in keeps its plain file name (hosts load it by that name) in a
# directory of its own under the libdir.
set(MPIO_INSTALL_PLUGINDIR "${CMAKE_INSTALL_LIBDIR}/tmmpio" CACHE STRING
    "Plug-in directory, relative to the prefix")
set(MPIO_INSTALL_DATADIR "${CMAKE_INSTALL_DATADIR}/tmmpio" CACHE STRING
    "Topologies and JSON schemas, relative to the prefix")
set(MPIO_INSTALL_CMAKEDIR "${CMAKE_INSTALL_LIBDIR}/cmake/TmMPIO" CACHE STRING
    "CMake package config, relative to the prefix")

# mpio_relative_path(VAR FROM TO): TO as seen from FROM, both relative to the
# prefix (or absolute).
function(mpio_relative_path var from to)
    get_filename_component(from_abs "${from}" ABSOLUTE BASE_DIR /prefix)
    get_filename_component(to_abs "${to}" ABSOLUTE BASE_DIR /prefix)
    file(RELATIVE_PATH relative "${from_abs}" "${to_abs}")
    if(relative STREQUAL "")
        set(relative ".")
    endif()
    set(${var} "${relative}" PARENT_SCOPE)
endfunction()

# The installed plug-in and data directories as absolute paths under the
# configured prefix, for what names them in programs and man pages.
get_filename_component(MPIO_INSTALL_FULL_PLUGINDIR "${MPIO_INSTALL_PLUGINDIR}" ABSOLUTE
                       BASE_DIR "${CMAKE_INSTALL_PREFIX}")
get_filename_component(MPIO_INSTALL_FULL_DATADIR "${MPIO_INSTALL_DATADIR}" ABSOLUTE
                       BASE_DIR "${CMAKE_INSTALL_PREFIX}")

mpio_relative_path(MPIO_BIN_TO_LIBDIR "${CMAKE_INSTALL_BINDIR}" "${CMAKE_INSTALL_LIBDIR}")
mpio_relative_path(MPIO_BIN_TO_PLUGINDIR "${CMAKE_INSTALL_BINDIR}" "${MPIO_INSTALL_PLUGINDIR}")

# Installed programs find libTmHost beside them through the libdir, wherever
# the tree lies; the build tree keeps CMake's absolute build RPATH.
set(CMAKE_INSTALL_RPATH "$ORIGIN/${MPIO_BIN_TO_LIBDIR}")
