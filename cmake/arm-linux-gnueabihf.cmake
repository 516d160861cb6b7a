# Cross-builds lowrad for Debian's armhf, 32-bit ARMv7 with hardware floating
# point (a Raspberry Pi 2 or later on a 32-bit system; the ARMv6 Pi 1, Zero
# and Zero W cannot run it), with Debian's g++-arm-linux-gnueabihf:
#   cmake -S . -B build-armhf -DCMAKE_TOOLCHAIN_FILE=cmake/arm-linux-gnueabihf.cmake -DBUILD_TESTING=OFF
#   cmake --build build-armhf && (cd build-armhf && cpack -G DEB)
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR arm)
set(CMAKE_CXX_COMPILER arm-linux-gnueabihf-g++)
set(CMAKE_C_COMPILER arm-linux-gnueabihf-gcc)
set(CMAKE_FIND_ROOT_PATH /usr/arm-linux-gnueabihf)
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

# The package is for armhf whatever machine builds it. dpkg-shlibdeps takes
# its dependencies from the armhf libraries of Debian's multiarch packages
# (dpkg --add-architecture armhf; apt-get install libstdc++6:armhf), the same
# versions as the cross compiler's: the cross ones would name the
# libc6-armhf-cross packages of the build machine instead.
set(CPACK_DEBIAN_PACKAGE_ARCHITECTURE armhf)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS_PRIVATE_DIRS /lib/arm-linux-gnueabihf)
