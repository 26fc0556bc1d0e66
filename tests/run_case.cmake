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

file(READ "${EXPECTED}" expected)

# Files, not pipes: a helper the program leaves behind (wine's services)
# would hold a pipe open long after the program has ended.
#
# Wine itself now and then spoils a run that the program got right. Seen:
# every program it started hung for about two minutes in a prefix just made;
# the system's dynamic loader aborted one of wine's processes as it exited,
# with a line of its own on standard error (a race in glibc between exit and
# a thread loading a library; 1 run in about 3,800 here); the command
# interpreter's pause text was missing after a right report (once, in a run
# of CI's checks in a fresh root). The program answers the same every time,
# so a Windows case is run up to four times and passes on the first right
# run: a program that errs fails all four, and each try's faults are shown.
foreach(try 1 2 3 4)
  execute_process(COMMAND ${LAUNCHER} "${PROGRAM}" ${ARGS}
      INPUT_FILE "${input_file}" OUTPUT_FILE "${input_file}.out" ERROR_FILE "${input_file}.err"
      RESULT_VARIABLE status TIMEOUT 40)
  file(READ "${input_file}.out" out)
  file(READ "${input_file}.err" err)

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

  if(NOT faults OR NOT WINDOWS OR try EQUAL 4)
    break()
  endif()
  message(STATUS "try ${try}:\n${faults}")
endforeach()
if(faults)
  message(FATAL_ERROR "${faults}")
endif()
