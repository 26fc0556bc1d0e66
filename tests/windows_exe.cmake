# cmake -DOBJDUMP=... -DPROGRAM=binsearch.exe -DVERSION=x.y.z -P windows_exe.cmake
#
# Double-clicked on a clean Windows machine the program has nothing beside
# it: it must be a 32-bit console program that imports only Windows' own DLLs.
# It carries a manifest (else Windows treats it as a legacy program) and a
# version resource (else Explorer's Details tab is blank).
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

# Resource types 16 (version) and 24 (manifest) in the type table.
foreach(type 10 18)
  if(NOT headers MATCHES "\n010 +Entry: ID: 0x0000${type}|\n018 +Entry: ID: 0x0000${type}")
    string(APPEND faults "no resource of type 0x${type}\n")
  endif()
endforeach()
file(READ "${PROGRAM}" bytes HEX)
string(HEX [[<requestedExecutionLevel level="asInvoker"]] manifest)
if(NOT bytes MATCHES "${manifest}")
  string(APPEND faults "no asInvoker manifest\n")
endif()
# The version strings are UTF-16LE: each ASCII byte followed by a zero byte.
foreach(text "FileVersion" "${VERSION}" "ProductName" "binsearch.exe" "LegalCopyright")
  string(HEX "${text}" hex)
  string(REGEX REPLACE "(..)" "\\100" hex "${hex}")
  if(NOT bytes MATCHES "${hex}")
    string(APPEND faults "no \"${text}\" in the version resource\n")
  endif()
endforeach()

if(faults)
  message(FATAL_ERROR "${faults}")
endif()
