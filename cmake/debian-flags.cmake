# Debian's build flags with all of its hardening, as a Debian package build
# uses them (lintian checks the package for their marks): the deb preset's,
# so the .deb holds the programs that its tree tested. Debian's -g is left
# out: the package is stripped, and debug information only lengthens the build.
find_program(VELKSCAN_DPKG_BUILDFLAGS dpkg-buildflags REQUIRED)
foreach(kind CXXFLAGS CPPFLAGS LDFLAGS)
  execute_process(COMMAND ${CMAKE_COMMAND} -E env DEB_BUILD_MAINT_OPTIONS=hardening=+all
                          ${VELKSCAN_DPKG_BUILDFLAGS} --get ${kind}
                  OUTPUT_VARIABLE flags OUTPUT_STRIP_TRAILING_WHITESPACE COMMAND_ERROR_IS_FATAL ANY)
  string(REGEX REPLACE "(^| )-g( |$)" " " flags "${flags}")
  set(debian_${kind} "${flags}")
endforeach()
string(APPEND CMAKE_CXX_FLAGS " ${debian_CXXFLAGS} ${debian_CPPFLAGS}")
string(APPEND CMAKE_EXE_LINKER_FLAGS " ${debian_LDFLAGS}")
string(APPEND CMAKE_SHARED_LINKER_FLAGS " ${debian_LDFLAGS}")
