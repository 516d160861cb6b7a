# Cross-builds lowrad for 64-bit ARM (a Raspberry Pi 3, 4 or 5 on a 64-bit
# system) with Debian's g++-aarch64-linux-gnu:
#   cmake -S . -B build-arm64 -DCMAKE_TOOLCHAIN_FILE=cmake/aarch64-linux-gnu.cmake -DBUILD_TESTING=OFF
#   cmake --build build-arm64 && (cd build-arm64 && cpack -G DEB)
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR aarch64)
set(CMAKE_CXX_COMPILER aarch64-linux-gnu-g++)
set(CMAKE_C_COMPILER aarch64-linux-gnu-gcc)
set(CMAKE_FIND_ROOT_PATH /usr/aarch64-linux-gnu)
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

# The package is for arm64 whatever machine builds it. dpkg-shlibdeps takes
# its dependencies from the arm64 libraries of Debian's multiarch packages
# (dpkg --add-architecture arm64; apt-get install libstdc++6:arm64), the same
# versions as the cross compiler's: the cross ones would name the
# libc6-arm64-cross packages of the build machine instead.
set(CPACK_DEBIAN_PACKAGE_ARCHITECTURE arm64)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS_PRIVATE_DIRS /lib/aarch64-linux-gnu)
