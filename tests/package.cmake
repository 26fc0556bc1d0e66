# cmake -DCPACK=... -DCONFIG=CPackConfig.cmake -DDIR=... -DNM=... -DREADELF=... -P package.cmake
#
# Makes the build's package (TGZ, ZIP or DEB) in DIR and looks inside: a
# stripped program, the licence and the README (with CR LF line ends in a
# ZIP), the manual page beside a POSIX program, Debian's own files and a
# hardened program in a .deb, and a checksum file beside the package that
# matches it.
file(REMOVE_RECURSE "${DIR}")
execute_process(COMMAND "${CPACK}" --config "${CONFIG}" -B "${DIR}"
    RESULT_VARIABLE status OUTPUT_VARIABLE log ERROR_VARIABLE log)
file(GLOB package "${DIR}/*.tar.gz" "${DIR}/*.zip" "${DIR}/*.deb")
if(NOT status STREQUAL "0" OR NOT package)
  message(FATAL_ERROR "cpack failed (${status}):\n${log}")
endif()

set(faults "")
file(SHA256 "${package}" sum)
set(recorded "")
if(EXISTS "${package}.sha256")
  file(READ "${package}.sha256" recorded)
endif()
if(NOT recorded MATCHES "^${sum} ")
  string(APPEND faults "checksum file does not match the package\n")
endif()

set(root "${DIR}/contents")
file(MAKE_DIRECTORY "${root}")
set(wanted */LICENSE */README.md)
if(package MATCHES "\\.deb$")
  execute_process(COMMAND dpkg-deb -x "${package}" "${root}" RESULT_VARIABLE status)
  execute_process(COMMAND dpkg-deb -f "${package}" Depends OUTPUT_VARIABLE depends)
  if(NOT depends MATCHES "libc6")
    string(APPEND faults "no shared library dependencies: [${depends}]\n")
  endif()
  list(APPEND wanted usr/share/doc/binsearch/copyright usr/share/doc/binsearch/changelog.gz)
  # PIE, RELRO, BIND_NOW, a stack protector and FORTIFY's checked calls.
  execute_process(COMMAND "${READELF}" -hldW --dyn-syms "${root}/usr/bin/binsearch" OUTPUT_VARIABLE elf)
  foreach(mark "DYN \\(" "GNU_RELRO" "BIND_NOW" "__stack_chk_fail" "__[a-z]+_chk@")
    if(NOT elf MATCHES "${mark}")
      string(APPEND faults "not hardened, no ${mark} in usr/bin/binsearch\n")
    endif()
  endforeach()
else()
  execute_process(COMMAND "${CMAKE_COMMAND}" -E tar xf "${package}"
      WORKING_DIRECTORY "${root}" RESULT_VARIABLE status)
endif()
if(NOT status STREQUAL "0")
  string(APPEND faults "cannot unpack ${package}\n")
endif()
set(crlf "")
if(package MATCHES "\\.zip$")
  list(APPEND wanted */binsearch.exe)
  set(crlf */LICENSE */README.md) # opened on Windows, in Notepad
else()
  list(APPEND wanted */bin/binsearch */share/man/man1/binsearch.1.gz)
endif()

foreach(pattern IN LISTS wanted)
  file(GLOB_RECURSE found "${root}/${pattern}")
  list(FIND crlf "${pattern}" crlf_row)
  if(NOT found)
    string(APPEND faults "no ${pattern} in the package\n")
  elseif(pattern MATCHES "binsearch(\\.exe)?$")
    execute_process(COMMAND "${NM}" "${found}" OUTPUT_VARIABLE symbols ERROR_VARIABLE symbols)
    if(NOT symbols MATCHES "no symbols")
      string(APPEND faults "${pattern} is not stripped\n")
    endif()
  elseif(NOT crlf_row EQUAL -1)
    file(READ "${found}" text HEX) # as text, CMake would drop the CRs
    string(REPLACE "0d0a" "" bare "${text}")
    if(bare MATCHES "^(..)*0a" OR NOT text MATCHES "0d0a")
      string(APPEND faults "${pattern} has lines not ended by CR LF\n")
    endif()
  endif()
endforeach()
if(faults)
  message(FATAL_ERROR "${package}:\n${faults}")
endif()
