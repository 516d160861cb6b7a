# Cross-builds lowrad for 64-bit ARM (a Raspberry Pi 3, 4 or 5 on a 64-bit
# system) with Debian's g++-aarch64-linux-gnu:
#   cmake -S . -B build-arm64 -DCMAKE_TOOLCHAIN_FILE=cmake/aarch64-linux-gnu.cmake -DBUILD_TESTING=OFF
#   cmake --build build-arm64 && (cd build-arm64 && cpack -G DEB)
set(CMAKE_SYSTEM_PROCESSOR aarch64)
set(triplet aarch64-linux-gnu)
set(debarch arm64)
include(${CMAKE_CURRENT_LIST_DIR}/debian-cross.cmake)
