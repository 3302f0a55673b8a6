# Fails unless the plug-in file holds the version text, as `strings` would find it on a panel.
file(STRINGS ${PLUGIN} found REGEX "^polmon ${VERSION} \\(([0-9a-f]+(-dirty)?|unknown)\\)$")
if(NOT found)
  message(FATAL_ERROR "${PLUGIN} carries no \"polmon ${VERSION} (<commit>)\"")
endif()
message(STATUS "version text: ${found}")
