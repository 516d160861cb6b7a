# What the cross toolchain files share: Debian's cross compiler for TRIPLET,
# its sysroot for libraries and headers, and a package for DEBARCH.
#
# The package is for DEBARCH whatever machine builds it. dpkg-shlibdeps takes
# its dependencies from DEBARCH's libraries of Debian's multiarch packages
# (dpkg --add-architecture DEBARCH; apt-get install libstdc++6:DEBARCH), the
# same versions as the cross compiler's: the cross ones would name the
# libc6-DEBARCH-cross packages of the build machine instead.
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_CXX_COMPILER ${triplet}-g++)
set(CMAKE_C_COMPILER ${triplet}-gcc)
set(CMAKE_FIND_ROOT_PATH /usr/${triplet})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)
set(CPACK_DEBIAN_PACKAGE_ARCHITECTURE ${debarch})
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS_PRIVATE_DIRS /lib/${triplet})
