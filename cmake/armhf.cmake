# Cross build for the appliance's 32-bit ARM board; tests run under qemu-arm.
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR arm)
set(CMAKE_C_COMPILER arm-linux-gnueabihf-gcc)
set(CMAKE_CXX_COMPILER arm-linux-gnueabihf-g++)
set(CMAKE_FIND_ROOT_PATH /usr/arm-linux-gnueabihf)
set(CMAKE_LIBRARY_ARCHITECTURE arm-linux-gnueabihf)
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE BOTH)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE BOTH)
set(CMAKE_CROSSCOMPILING_EMULATOR qemu-arm;-L;/usr/arm-linux-gnueabihf)
# Statically linked: qemu-arm here runs dynamically linked ARM programs that start threads or
# fork badly (they crash in the loader's thread setup); static ones run as on the board.
set(CMAKE_EXE_LINKER_FLAGS_INIT "-static")
# Everything is built by this one compiler: the old-ABI parameter-passing notes do not apply.
set(CMAKE_CXX_FLAGS_INIT "-Wno-psabi")
