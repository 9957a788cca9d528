# SPDX-License-Identifier: Apache-2.0
# mpio_execute_checked(WHAT <execute_process arguments>): runs a process at
# configure time and stops the configuration, naming WHAT, when it fails.
# A macro, so that OUTPUT_VARIABLE lands in the caller's scope.
include_guard(GLOBAL)
macro(mpio_execute_checked what)
    execute_process(${ARGN} RESULT_VARIABLE mpio_execute_status)
    if(NOT mpio_execute_status EQUAL 0)
        message(FATAL_ERROR "${what} failed (${mpio_execute_status})")
    endif()
endmacro()
