# The version text every build carries: "polmon <version> (<commit>)".
# The commit comes from git when the tree is a clone, or from POLMON_COMMIT (a bundle rebuilt
# without its history, or a second build that must match the first byte for byte).
set(POLMON_COMMIT "" CACHE STRING "commit named in the version text (default: asked of git at build time)")

set(POLMON_VERSION_DIR ${CMAKE_BINARY_DIR}/generated)
# Runs at every build, rewrites the header only when the text changed: a new commit recompiles
# the two files that use it, and nothing else.
add_custom_target(polmon_version_header
  COMMAND ${CMAKE_COMMAND} -DSOURCE_DIR=${CMAKE_SOURCE_DIR} -DOUTPUT=${POLMON_VERSION_DIR}/polmon_version.h
          -DVERSION=${PROJECT_VERSION} -DCOMMIT=${POLMON_COMMIT} -P ${CMAKE_CURRENT_LIST_DIR}/version-header.cmake
  BYPRODUCTS ${POLMON_VERSION_DIR}/polmon_version.h
  VERBATIM)

add_library(polmon_version INTERFACE)
target_include_directories(polmon_version INTERFACE ${POLMON_VERSION_DIR})
add_dependencies(polmon_version polmon_version_header)
