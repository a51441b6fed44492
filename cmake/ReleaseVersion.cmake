# The Debian packages are versioned by debian/changelog, the programs and qvsystemtools.pc by
# project(). A release that raises one without the other would ship packages whose version
# does not say what they contain, so the build refuses to start until both name the same one.
set(qv_changelog ${CMAKE_SOURCE_DIR}/debian/changelog)
if(EXISTS ${qv_changelog})
  file(STRINGS ${qv_changelog} qv_changelog_head LIMIT_COUNT 1)
  if(NOT qv_changelog_head MATCHES "^[a-z0-9.+-]+ \\(([^)]+)\\) ")
    message(FATAL_ERROR "debian/changelog: cannot read the version of its first line: "
                        "${qv_changelog_head}")
  endif()
  # A native package: the Debian version is the release version itself.
  if(NOT CMAKE_MATCH_1 STREQUAL PROJECT_VERSION)
    message(FATAL_ERROR "debian/changelog names version ${CMAKE_MATCH_1}, CMakeLists.txt "
                        "${PROJECT_VERSION}: add a changelog entry for the release (dch -v "
                        "${PROJECT_VERSION}) or correct project(VERSION)")
  endif()
endif()
