# ARMv7-A, Thumb-2, VFP code with the soft-float calling convention (Debian's armel toolchain):
# for panels whose runtime passes doubles in integer registers.
set(POLMON_ARM_TRIPLET arm-linux-gnueabi)
set(POLMON_ARM_FLAGS "-march=armv7-a -mthumb -mfloat-abi=softfp -mfpu=vfpv3-d16")
include(${CMAKE_CURRENT_LIST_DIR}/toolchain-arm-common.cmake)
set(POLMON_LIB_SUFFIX _armv7 CACHE STRING "" FORCE)
