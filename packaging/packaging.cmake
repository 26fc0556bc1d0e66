# What is installed, and the packages CPack makes of it: a TGZ on POSIX, a
# ZIP on Windows, a .deb with -DBINSEARCH_DEBIAN=ON (the debian preset).
include(GNUInstallDirs)
install(TARGETS binsearch RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})

if(WIN32)
  # With the line ends Windows' own editors want: Notepad before Windows 10
  # shows a text with LF alone as one long line.
  foreach(doc README.md LICENSE)
    set_property(DIRECTORY APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS ${doc})
    file(READ ${doc} text)
    string(REPLACE "\n" "\r\n" text "${text}")
    file(WRITE ${PROJECT_BINARY_DIR}/windows/${doc} "${text}")
    install(FILES ${PROJECT_BINARY_DIR}/windows/${doc} DESTINATION .)
  endforeach()
else()
  # Compressed as Debian wants them: the most, with no name or time stamp.
  find_program(GZIP gzip REQUIRED)
  set(docs ${PROJECT_SOURCE_DIR}/doc/binsearch.1)
  set(gzipped ${PROJECT_BINARY_DIR}/binsearch.1.gz)
  if(BINSEARCH_DEBIAN)
    list(APPEND docs ${PROJECT_SOURCE_DIR}/packaging/debian/changelog)
    list(APPEND gzipped ${PROJECT_BINARY_DIR}/changelog.gz)
  endif()
  foreach(doc gz IN ZIP_LISTS docs gzipped)
    add_custom_command(OUTPUT ${gz} COMMAND ${GZIP} -9nc ${doc} > ${gz} DEPENDS ${doc})
  endforeach()
  add_custom_target(docs ALL DEPENDS ${gzipped})

  install(FILES ${PROJECT_BINARY_DIR}/binsearch.1.gz DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)
  install(FILES README.md DESTINATION ${CMAKE_INSTALL_DOCDIR})
  install(FILES LICENSE DESTINATION ${CMAKE_INSTALL_DOCDIR})
  if(BINSEARCH_DEBIAN)
    install(FILES packaging/debian/copyright ${PROJECT_BINARY_DIR}/changelog.gz
        DESTINATION ${CMAKE_INSTALL_DOCDIR})
  endif()
endif()

# CMake picks llvm-strip for Clang, and llvm-strip 14 fails on a static glibc
# program while the install step ignores the failure; binutils' strip works.
if(CMAKE_STRIP MATCHES "llvm-strip" AND NOT CMAKE_CROSSCOMPILING)
  find_program(BINSEARCH_GNU_STRIP strip)
  if(BINSEARCH_GNU_STRIP)
    set(CMAKE_STRIP ${BINSEARCH_GNU_STRIP})
  endif()
endif()

set(CPACK_PACKAGE_VENDOR "The binsearch authors")
set(CPACK_PACKAGE_CONTACT "The binsearch authors <binsearch@packages.invalid>")
set(CPACK_RESOURCE_FILE_LICENSE ${PROJECT_SOURCE_DIR}/LICENSE)
set(CPACK_STRIP_FILES ON)
set(CPACK_PACKAGE_CHECKSUM SHA256)
if(WIN32)
  set(CPACK_GENERATOR ZIP)
elseif(BINSEARCH_DEBIAN)
  set(CPACK_GENERATOR DEB)
else()
  set(CPACK_GENERATOR TGZ)
endif()

# Packages of every architecture go side by side: the tarball names its
# machine (linux-aarch64), the .deb its Debian architecture (arm64), the ZIP
# its Windows (win32, win64).
if(WIN32)
  math(EXPR bits "${CMAKE_SIZEOF_VOID_P} * 8")
  set(CPACK_SYSTEM_NAME win${bits})
else()
  string(TOLOWER "${CMAKE_SYSTEM_NAME}-${CMAKE_SYSTEM_PROCESSOR}" CPACK_SYSTEM_NAME)
endif()
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
if(BINSEARCH_DEB_ARCH) # packaging/debian/flags.cmake
  set(CPACK_DEBIAN_PACKAGE_ARCHITECTURE ${BINSEARCH_DEB_ARCH})
endif()
set(CPACK_DEBIAN_PACKAGE_SECTION education)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_DEBIAN_PACKAGE_DESCRIPTION [[binsearch shows binary search at work, for learners. It lists the
table 1 to 10, asks for one number, looks it up by halving the index
range, says whether the number is in the table, and pauses until a key
is pressed so that a console window opened just for it stays readable.
It pauses only when its input and output are its session's terminal, and
then gives back the terminal mode it changed, through signals and job
control; the manual page lists the few cases it cannot mend.]])
include(CPack)
