# Cross-builds lowrad for Debian's armhf, 32-bit ARMv7 with hardware floating
# point (a Raspberry Pi 2 or later on a 32-bit system; the ARMv6 Pi 1, Zero
# and Zero W cannot run it), with Debian's g++-arm-linux-gnueabihf:
#   cmake -S . -B build-armhf -DCMAKE_TOOLCHAIN_FILE=cmake/arm-linux-gnueabihf.cmake -DBUILD_TESTING=OFF
#   cmake --build build-armhf && (cd build-armhf && cpack -G DEB)
set(CMAKE_SYSTEM_PROCESSOR arm)
set(triplet arm-linux-gnueabihf)
set(debarch armhf)
include(${CMAKE_CURRENT_LIST_DIR}/debian-cross.cmake)
