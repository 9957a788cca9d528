# SPDX-License-Identifier: Apache-2.0
# The project's version is written in one place: the heading of the newest
# release in CHANGELOG.md, "## 1.0.0 — 2026-12-08". project() takes it from
# there, and with it the programs' --version, TmMPIOVersion.h, the CMake
# package, tmmpio.pc and the packages with their changelogs. Changes not yet
# released stay apart under "## Unreleased", the first section when there is
# one; a release renames it to the new version and its date.
# Sets MPIO_RELEASE_VERSION and MPIO_RELEASE_DATE (YYYY-MM-DD).
get_filename_component(mpio_changelog "${CMAKE_CURRENT_LIST_DIR}/../CHANGELOG.md" ABSOLUTE)
set_property(DIRECTORY APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS ${mpio_changelog})
file(STRINGS ${mpio_changelog} mpio_changelog_headings ENCODING UTF-8 REGEX "^## ")
set(mpio_release_regex "^## ([0-9]+\\.[0-9]+\\.[0-9]+) — ([0-9][0-9][0-9][0-9]-[0-9][0-9]-[0-9][0-9])$")
unset(MPIO_RELEASE_VERSION)
foreach(heading IN LISTS mpio_changelog_headings)
    if(heading STREQUAL "## Unreleased" AND NOT mpio_seen_section)
        set(mpio_seen_section TRUE)
        continue()
    endif()
    if(NOT heading MATCHES "${mpio_release_regex}")
        message(FATAL_ERROR "CHANGELOG.md: \"${heading}\" is neither \"## Unreleased\" (first) "
                            "nor a release heading \"## X.Y.Z — YYYY-MM-DD\"")
    endif()
    set(MPIO_RELEASE_VERSION ${CMAKE_MATCH_1})
    set(MPIO_RELEASE_DATE ${CMAKE_MATCH_2})
    break()
endforeach()
if(NOT DEFINED MPIO_RELEASE_VERSION)
    message(FATAL_ERROR "CHANGELOG.md names no release (\"## X.Y.Z — YYYY-MM-DD\")")
endif()
