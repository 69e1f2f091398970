# Cross-compiles for 64-bit ARM Linux with Debian's cross compiler (g++-aarch64-linux-gnu) and
# runs what it builds (the tests, through CTest) under qemu-user.
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR aarch64)

set(ALLELIX_CROSS_TRIPLE aarch64-linux-gnu)
set(CMAKE_C_COMPILER ${ALLELIX_CROSS_TRIPLE}-gcc)
set(CMAKE_CXX_COMPILER ${ALLELIX_CROSS_TRIPLE}-g++)

# Libraries and headers come from the cross compiler's tree only; programs from the host.
set(CMAKE_FIND_ROOT_PATH /usr/${ALLELIX_CROSS_TRIPLE})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

set(CMAKE_CROSSCOMPILING_EMULATOR qemu-aarch64 -L /usr/${ALLELIX_CROSS_TRIPLE})
