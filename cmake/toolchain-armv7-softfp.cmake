# ARMv7-A, Thumb-2, VFP code with the soft-float calling convention (Debian's armel toolchain):
# for panels whose runtime passes doubles in integer registers.
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR arm)
set(CMAKE_C_COMPILER arm-linux-gnueabi-gcc)
set(CMAKE_CXX_COMPILER arm-linux-gnueabi-g++)
set(CMAKE_C_FLAGS_INIT "-march=armv7-a -mthumb -mfloat-abi=softfp -mfpu=vfpv3-d16")
set(CMAKE_CXX_FLAGS_INIT "-march=armv7-a -mthumb -mfloat-abi=softfp -mfpu=vfpv3-d16")
set(CMAKE_CROSSCOMPILING_EMULATOR qemu-arm;-L;/)
set(CMAKE_FIND_ROOT_PATH /usr/arm-linux-gnueabi)
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(POLMON_LIB_SUFFIX _armv7 CACHE STRING "" FORCE)
