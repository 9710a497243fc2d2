# Cross build for Debian armhf (32-bit ARM, hard float) with Debian's cross toolchain
# (crossbuild-essential-armhf) and the armhf development packages installed beside the build machine's
# through multiarch (dpkg --add-architecture armhf). scripts/build-armhf.sh uses it.
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR arm)
set(CMAKE_C_COMPILER arm-linux-gnueabihf-gcc)
set(CMAKE_CXX_COMPILER arm-linux-gnueabihf-g++)
set(CMAKE_LIBRARY_ARCHITECTURE arm-linux-gnueabihf)
# GCC notes on every std::map iterator passed by value that its ARM calling convention changed in GCC 7.1;
# everything here is built by one compiler, so the note never matters.
set(CMAKE_CXX_FLAGS_INIT -Wno-psabi)

# Libraries and their .pc files come from the multiarch tree of the target; tools from the build machine.
set(PKG_CONFIG_EXECUTABLE arm-linux-gnueabihf-pkg-config CACHE FILEPATH "pkg-config for armhf")
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)

# Target programs run on the build machine through qemu-user, with the armhf libraries of the multiarch
# tree (the interpreter /lib/ld-linux-armhf.so.3 comes with libc6:armhf). No binfmt handler is needed.
set(CMAKE_CROSSCOMPILING_EMULATOR qemu-arm-static -L /)

set(QEL_DEB_ARCHITECTURE armhf)
