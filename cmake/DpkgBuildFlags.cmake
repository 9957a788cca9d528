# SPDX-License-Identifier: Apache-2.0
# The packages are built with the distribution's hardening flags, as
# dpkg-buildflags gives them with every hardening feature on (stack
# protector, _FORTIFY_SOURCE, format checks, RELRO and immediate binding),
# appended to the build type's flags. The package presets turn this on, for
# the Debian and the RPM packages alike.
option(MPIO_DPKG_BUILDFLAGS "Compile and link with the flags of dpkg-buildflags (hardening=+all)" OFF)
if(NOT MPIO_DPKG_BUILDFLAGS)
    return()
endif()
find_program(MPIO_DPKG_BUILDFLAGS_PROGRAM dpkg-buildflags REQUIRED)
include(${CMAKE_CURRENT_LIST_DIR}/ExecuteChecked.cmake)

# mpio_dpkg_buildflag(VAR FLAG): the flag set FLAG (CPPFLAGS, CXXFLAGS, ...).
function(mpio_dpkg_buildflag var flag)
    mpio_execute_checked("dpkg-buildflags --get ${flag}"
        COMMAND ${CMAKE_COMMAND} -E env DEB_BUILD_MAINT_OPTIONS=hardening=+all
                ${MPIO_DPKG_BUILDFLAGS_PROGRAM} --get ${flag}
        WORKING_DIRECTORY ${PROJECT_SOURCE_DIR}
        OUTPUT_VARIABLE value OUTPUT_STRIP_TRAILING_WHITESPACE)
    set(${var} "${value}" PARENT_SCOPE)
endfunction()

mpio_dpkg_buildflag(dpkg_cppflags CPPFLAGS)
mpio_dpkg_buildflag(dpkg_cflags CFLAGS)
mpio_dpkg_buildflag(dpkg_cxxflags CXXFLAGS)
mpio_dpkg_buildflag(dpkg_ldflags LDFLAGS)
string(APPEND CMAKE_C_FLAGS " ${dpkg_cppflags} ${dpkg_cflags}")
string(APPEND CMAKE_CXX_FLAGS " ${dpkg_cppflags} ${dpkg_cxxflags}")
foreach(kind EXE SHARED MODULE)
    string(APPEND CMAKE_${kind}_LINKER_FLAGS " ${dpkg_ldflags}")
endforeach()
message(STATUS "dpkg-buildflags: ${dpkg_cppflags} ${dpkg_cxxflags} ${dpkg_ldflags}")
