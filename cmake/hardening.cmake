# Debian's hardening, as its own packages are built and as lintian looks for
# it in the package: the stack protector, _FORTIFY_SOURCE, full RELRO with
# bind-now, and position-independent executables. dpkg-buildflags gives the
# flags of the Debian release at hand, for the package's architecture; where
# it is missing, the same flags as Debian 12 gives. The optimisation and
# debugging flags it adds stay the build type's.
set(hardening_cpp -D_FORTIFY_SOURCE=2)
set(hardening_cxx -fstack-protector-strong -Wformat -Werror=format-security)
set(hardening_ld -Wl,-z,relro -Wl,-z,now)
find_program(DPKG_BUILDFLAGS dpkg-buildflags)
if(DPKG_BUILDFLAGS)
  set(for_arch)
  if(debarch)
    set(for_arch DEB_HOST_ARCH=${debarch})
  endif()
  foreach(kind cpp cxx ld)
    string(TOUPPER ${kind}FLAGS variable)
    execute_process(
      COMMAND env DEB_BUILD_MAINT_OPTIONS=hardening=+all ${for_arch} ${DPKG_BUILDFLAGS} --get ${variable}
      OUTPUT_VARIABLE flags OUTPUT_STRIP_TRAILING_WHITESPACE COMMAND_ERROR_IS_FATAL ANY)
    separate_arguments(flags UNIX_COMMAND "${flags}")
    list(FILTER flags EXCLUDE REGEX "^-(g.*|O.*|ffile-prefix-map=.*|fdebug-prefix-map=.*)$")
    set(hardening_${kind} ${flags})
  endforeach()
endif()
# _FORTIFY_SOURCE works through the optimiser, and glibc warns without one.
list(TRANSFORM hardening_cpp REPLACE "^(-D_FORTIFY_SOURCE=.*)$" "$<$<NOT:$<CONFIG:Debug>>:\\1>")
add_compile_options(${hardening_cpp} ${hardening_cxx})
add_link_options(${hardening_ld})
set(CMAKE_POSITION_INDEPENDENT_CODE ON)
include(CheckPIESupported)
check_pie_supported()
