# cmake -DNAME=... -DDIR=... -DPROGRAM=... -DINPUT=... -DEXPECTED=file [-DARGS=...]
#       [-DLAUNCHER=...] [-DWINDOWS=ON] -P run_case.cmake
#
# Feeds INPUT (with \n, \r and \t written as escapes) to the program's standard
# input and wants exit status 0, nothing on standard error and standard output
# equal to the file EXPECTED. A Windows program writes CR LF, which is folded
# to LF; its output must be the expected text followed by the command
# interpreter's pause text. The case's files go in DIR, in the build, never
# where it was started from.
if(NOT IS_DIRECTORY "${DIR}")
  message(FATAL_ERROR "DIR, the folder for the case's files, is not given or not a folder: [${DIR}]")
endif()
string(REPLACE "\\n" "\n" input "${INPUT}")
string(REPLACE "\\r" "\r" input "${input}")
string(REPLACE "\\t" "\t" input "${input}")
set(input_file "${DIR}/${NAME}.in")
file(WRITE "${input_file}" "${input}")

# Files, not pipes: a helper the program leaves behind (wine's services)
# would hold a pipe open long after the program has ended. Wine itself
# sometimes spoils a run: it has been seen to hang every program it started
# for about two minutes in a prefix just made, and the system's dynamic loader
# to abort one of wine's processes as it exits, with a line of its own on
# standard error (a race in glibc between exit and a thread loading a
# library; the program's status and output were right; 1 run in about 2,600
# here). A run with either sign is tried again, up to four in all; any other
# fault fails at once.
set(loader_abort "^Inconsistency detected by ld\\.so: dl-fini\\.c: [0-9]+: _dl_fini: Assertion `[^\n]*' failed!\n$")
foreach(try 1 2 3 4)
  execute_process(COMMAND ${LAUNCHER} "${PROGRAM}" ${ARGS}
      INPUT_FILE "${input_file}" OUTPUT_FILE "${input_file}.out" ERROR_FILE "${input_file}.err"
      RESULT_VARIABLE status TIMEOUT 40)
  file(READ "${input_file}.err" err)
  if(NOT WINDOWS OR NOT (status MATCHES "timeout" OR err MATCHES "${loader_abort}"))
    break()
  endif()
  message(STATUS "try ${try} ended with status ${status}, standard error: ${err}")
endforeach()
file(READ "${input_file}.out" out)
file(READ "${EXPECTED}" expected)

set(faults "")
if(WINDOWS)
  string(REPLACE "\r\n" "\n" out "${out}")
  string(LENGTH "${expected}" length)
  string(LENGTH "${out}" written)
  if(written LESS length)
    set(length ${written})
  endif()
  string(SUBSTRING "${out}" ${length} -1 pause)
  string(SUBSTRING "${out}" 0 ${length} out)
  if(NOT pause MATCHES "^Press any key to continue")
    string(APPEND faults "no pause text after the report: [${pause}]\n")
  endif()
endif()

if(NOT status STREQUAL "0")
  string(APPEND faults "exit status: ${status}\n")
endif()
if(NOT err STREQUAL "")
  string(APPEND faults "standard error:\n${err}\n")
endif()
if(NOT out STREQUAL expected)
  string(APPEND faults "standard output:\n[${out}]\nexpected:\n[${expected}]\n")
endif()
if(faults)
  message(FATAL_ERROR "${faults}")
endif()
