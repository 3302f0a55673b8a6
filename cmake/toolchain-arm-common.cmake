# What every ARM cross build shares. The including toolchain file sets POLMON_ARM_TRIPLET (Debian's
# cross toolchain) and POLMON_ARM_FLAGS (architecture, instruction set, float convention) first.
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR arm)
set(CMAKE_C_COMPILER ${POLMON_ARM_TRIPLET}-gcc)
set(CMAKE_CXX_COMPILER ${POLMON_ARM_TRIPLET}-g++)
set(CMAKE_C_FLAGS_INIT "${POLMON_ARM_FLAGS}")
set(CMAKE_CXX_FLAGS_INIT "${POLMON_ARM_FLAGS}")
# -O2, as the host build the measurements are made on: -O3 grows the plug-in by a fifth for no
# gain a panel would see.
set(CMAKE_C_FLAGS_RELEASE "-O2 -DNDEBUG" CACHE STRING "")
set(CMAKE_CXX_FLAGS_RELEASE "-O2 -DNDEBUG" CACHE STRING "")
set(CMAKE_CROSSCOMPILING_EMULATOR qemu-arm;-L;/)
set(CMAKE_FIND_ROOT_PATH /usr/${POLMON_ARM_TRIPLET})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
