# cmake -DNAME=... -DDIR=... -DGDB=... -DPROGRAM=... -DSOURCE=main.cpp -DVALUE=... -DEXPECTED="4 1 0"
#       -P probes.cmake
#
# The output says only found or not found; how the search got there shows in
# the indices it probes. Runs PROGRAM (an unoptimised build of SOURCE with
# debug information) under gdb with VALUE as its input, stops where SOURCE
# first compares with table[middle], once an iteration, and records middle.
# The indices must be EXPECTED, in order, and the program must exit with 0.
# Its files go in DIR, in the build, never where it was started from.
if(NOT IS_DIRECTORY "${DIR}")
  message(FATAL_ERROR "DIR, the folder for the run's files, is not given or not a folder: [${DIR}]")
endif()
file(READ "${SOURCE}" source)
string(REGEX MATCH "[=<>] *table\\[middle\\]" compare "${source}")
if(NOT compare)
  message(FATAL_ERROR "no line of ${SOURCE} compares with table[middle]")
endif()
string(FIND "${source}" "${compare}" at)
string(SUBSTRING "${source}" 0 ${at} before)
string(REGEX REPLACE "[^\n]" "" newlines "${before}")
string(LENGTH "${newlines}" line)
math(EXPR line "${line} + 1")
get_filename_component(where "${SOURCE}" NAME)
string(APPEND where ":${line}")

# A search gone wrong can run on or for ever; sixteen probes show enough of it.
set(base "${DIR}/${NAME}")
file(WRITE "${base}.in" "${VALUE}\n")
file(WRITE "${base}.gdb" "set pagination off
set $probes = 0
break ${where}
commands
silent
printf \"probe %d\\n\", middle
set $probes = $probes + 1
if $probes >= 16
quit
end
continue
end
run < '${base}.in' > '${base}.out'
printf \"exit %d\\n\", $_exitcode
")
execute_process(COMMAND "${GDB}" -nx -batch -x "${base}.gdb" "${PROGRAM}"
    OUTPUT_VARIABLE log ERROR_VARIABLE err RESULT_VARIABLE status TIMEOUT 60)
string(REGEX MATCHALL "probe -?[0-9]+" probes "${log}")
string(REPLACE "probe " "" probes "${probes}")
string(REPLACE ";" " " probes "${probes}")

set(faults "")
if(NOT probes STREQUAL EXPECTED)
  string(APPEND faults "probed ${probes} at ${where}, expected ${EXPECTED}\n")
endif()
if(NOT log MATCHES "(^|\n)exit 0\n")
  string(REGEX REPLACE "probe -?[0-9]+\n" "" log "${log}")
  string(APPEND faults "did not exit with status 0; gdb (${status}):\n${log}${err}")
endif()
if(faults)
  message(FATAL_ERROR "${faults}")
endif()
