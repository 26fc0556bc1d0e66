# cmake -DOBJDUMP=... -DPROGRAM=binsearch.exe -P windows_imports.cmake
#
# Double-clicked on a clean Windows machine the program has nothing beside
# it: it must be a 32-bit console program that imports only Windows' own DLLs.
execute_process(COMMAND "${OBJDUMP}" -p "${PROGRAM}"
    OUTPUT_VARIABLE headers RESULT_VARIABLE status)
if(NOT status STREQUAL "0")
  message(FATAL_ERROR "${OBJDUMP} -p failed: ${status}")
endif()

set(faults "")
if(NOT headers MATCHES "Magic[\t ]+010b")
  string(APPEND faults "not a PE32 (32-bit) image\n")
endif()
if(NOT headers MATCHES "Subsystem[\t ]+00000003")
  string(APPEND faults "not a console (CUI) program\n")
endif()
string(REGEX MATCHALL "DLL Name: [^\n]+" imports "${headers}")
if(NOT imports)
  string(APPEND faults "no imported DLL found in the headers\n")
endif()
foreach(import IN LISTS imports)
  string(TOLOWER "${import}" dll)
  if(NOT dll MATCHES "^dll name: (kernel32|msvcrt)\\.dll$")
    string(APPEND faults "imports a DLL Windows does not have: ${import}\n")
  endif()
endforeach()
if(faults)
  message(FATAL_ERROR "${faults}")
endif()
