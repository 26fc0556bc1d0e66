# cmake -DSOURCE=... -DDIR=... -DCXX=... -DGENERATOR=... -DREADELF=... -P static_fallback.cmake
#
# The fallback to a dynamic program where the static runtimes are missing
# (HACKING.md, Builds), on a system that a wrapper in front of the compiler
# CXX stands in for: it refuses to link with -static. Builds in DIR, and
# leaves the program in DIR/build for a transcript.
file(REMOVE_RECURSE "${DIR}")
file(CONFIGURE OUTPUT "${DIR}/c++" @ONLY CONTENT [[#!/bin/sh
for arg; do
    [ "$arg" = -static ] && { echo "ld: cannot find -lc" >&2; exit 1; }
done
exec "@CXX@" "$@"
]])
file(CHMOD "${DIR}/c++" PERMISSIONS OWNER_READ OWNER_WRITE OWNER_EXECUTE)

set(faults "")
# configure(FOLDER STATUS TEXT [ARG...]): configuring FOLDER with ARGs must
# end with STATUS and say TEXT.
function(configure folder want_status want_text)
  execute_process(COMMAND "${CMAKE_COMMAND}" -S "${SOURCE}" -B "${DIR}/${folder}"
      -G "${GENERATOR}" "-DCMAKE_CXX_COMPILER=${DIR}/c++" -DBUILD_TESTING=OFF ${ARGN}
      RESULT_VARIABLE status OUTPUT_VARIABLE log ERROR_VARIABLE log)
  if(NOT status STREQUAL want_status OR NOT log MATCHES "${want_text}")
    string(APPEND faults "configure ${folder} ${ARGN}: status ${status}, "
        "wanted ${want_status} and \"${want_text}\":\n${log}\n")
    set(faults "${faults}" PARENT_SCOPE)
  endif()
endfunction()

set(fallback "Linking binsearch dynamically: [^\n]*glibc-static and libstdc\\+\\+-static")
configure(build 0 "${fallback}")
execute_process(COMMAND "${CMAKE_COMMAND}" --build "${DIR}/build"
    RESULT_VARIABLE status OUTPUT_VARIABLE log ERROR_VARIABLE log)
execute_process(COMMAND "${READELF}" -d "${DIR}/build/binsearch" OUTPUT_VARIABLE dynamic)
if(NOT status STREQUAL "0")
  string(APPEND faults "build: status ${status}:\n${log}\n")
elseif(NOT dynamic MATCHES "\\(NEEDED\\)[^\n]*libc\\.so")
  string(APPEND faults "not dynamically linked against libc:\n${dynamic}\n")
endif()

# Configured again, the build's own choice stands and is not taken for the
# user's. Asking for a static program fails, in that build and in a new one.
configure(build 0 "${fallback}")
configure(build 1 "BINSEARCH_STATIC is ON, but a static program does not link" -DBINSEARCH_STATIC=ON)
configure(asked 1 "BINSEARCH_STATIC is ON, but a static program does not link" -DBINSEARCH_STATIC=ON)

if(faults)
  message(FATAL_ERROR "${faults}")
endif()
