# ARMv7-A, Thumb-2, hard float (Debian's armhf toolchain).
set(POLMON_ARM_TRIPLET arm-linux-gnueabihf)
set(POLMON_ARM_FLAGS "-march=armv7-a -mthumb -mfpu=vfpv3-d16")
include(${CMAKE_CURRENT_LIST_DIR}/toolchain-arm-common.cmake)
set(POLMON_LIB_SUFFIX _armv7 CACHE STRING "" FORCE)
