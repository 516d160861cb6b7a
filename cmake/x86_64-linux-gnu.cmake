# Cross-builds lowrad for x86_64 PCs on another machine (an arm64 host, where
# scripts/check-uart builds the amd64 package for its x86 guests) with
# Debian's g++-x86-64-linux-gnu:
#   cmake -S . -B build-amd64 -DCMAKE_TOOLCHAIN_FILE=cmake/x86_64-linux-gnu.cmake -DBUILD_TESTING=OFF
#   cmake --build build-amd64 && (cd build-amd64 && cpack -G DEB)
set(CMAKE_SYSTEM_PROCESSOR x86_64)
set(triplet x86_64-linux-gnu)
set(debarch amd64)
include(${CMAKE_CURRENT_LIST_DIR}/debian-cross.cmake)
