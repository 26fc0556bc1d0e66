# Debian's build flags, taken as Debian's own tooling takes them: from
# dpkg-buildflags with all hardening on, for the architecture the compiler
# builds for (a cross compiler names it), so that they follow the
# distribution. That architecture also labels the package.
find_program(DPKG_ARCHITECTURE dpkg-architecture)
find_program(DPKG_BUILDFLAGS dpkg-buildflags)
if(NOT DPKG_ARCHITECTURE OR NOT DPKG_BUILDFLAGS)
  message(FATAL_ERROR "BINSEARCH_DEBIAN needs dpkg-architecture and dpkg-buildflags: "
      "apt-get install -y dpkg-dev")
endif()
execute_process(COMMAND ${CMAKE_COMMAND} -E env CC=${CMAKE_CXX_COMPILER}
    ${DPKG_ARCHITECTURE} -qDEB_HOST_ARCH
    OUTPUT_VARIABLE BINSEARCH_DEB_ARCH OUTPUT_STRIP_TRAILING_WHITESPACE COMMAND_ERROR_IS_FATAL ANY)
foreach(kind CPPFLAGS CXXFLAGS LDFLAGS)
  execute_process(COMMAND ${CMAKE_COMMAND} -E env DEB_BUILD_MAINT_OPTIONS=hardening=+all
      DEB_HOST_ARCH=${BINSEARCH_DEB_ARCH} ${DPKG_BUILDFLAGS} --get ${kind}
      WORKING_DIRECTORY ${PROJECT_SOURCE_DIR}
      OUTPUT_VARIABLE flags OUTPUT_STRIP_TRAILING_WHITESPACE COMMAND_ERROR_IS_FATAL ANY)
  separate_arguments(flags UNIX_COMMAND "${flags}")
  if(kind STREQUAL "LDFLAGS")
    add_link_options(${flags})
  else()
    add_compile_options(${flags})
  endif()
endforeach()
message(STATUS "Debian ${BINSEARCH_DEB_ARCH} build flags from dpkg-buildflags")
