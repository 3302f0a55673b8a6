# ARMv5TE, ARM state, soft float (Debian's armel toolchain).
set(POLMON_ARM_TRIPLET arm-linux-gnueabi)
set(POLMON_ARM_FLAGS "-march=armv5te -marm")
include(${CMAKE_CURRENT_LIST_DIR}/toolchain-arm-common.cmake)
set(POLMON_LIB_SUFFIX _armv5 CACHE STRING "" FORCE)
