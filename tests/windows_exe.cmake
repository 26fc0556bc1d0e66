# cmake -DOBJDUMP=... -DPROGRAM=binsearch.exe -DBITS=32|64 -DVERSION=x.y.z -P windows_exe.cmake
#
# Double-clicked on a clean Windows machine the program has nothing beside
# it: it must be a console program for the processor it was built for (a
# PE32 image for x86, PE32+ for x86-64) that imports only Windows' own DLLs.
# It carries a manifest (else Windows treats it as a legacy program) and a
# version resource (else Explorer's Details tab is blank).
execute_process(COMMAND "${OBJDUMP}" -p "${PROGRAM}"
    OUTPUT_VARIABLE headers RESULT_VARIABLE status)
if(NOT status STREQUAL "0")
  message(FATAL_ERROR "${OBJDUMP} -p failed: ${status}")
endif()

# BITS: the image's magic, objdump's name for its machine, the manifest's.
set(image_32 010b PE32 pei-i386 x86)
set(image_64 020b PE32+ pei-x86-64 amd64)
list(GET image_${BITS} 0 magic)
list(GET image_${BITS} 1 kind)
list(GET image_${BITS} 2 format)
list(GET image_${BITS} 3 processor)
set(faults "")
if(NOT headers MATCHES "Magic[\t ]+${magic}")
  string(APPEND faults "not a ${kind} (${BITS}-bit) image\n")
endif()
if(NOT headers MATCHES "file format ${format}\n")
  string(APPEND faults "not an image for ${format}\n")
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
foreach(text [[<requestedExecutionLevel level="asInvoker"]] "processorArchitecture=\"${processor}\"")
  string(HEX "${text}" hex)
  if(NOT bytes MATCHES "${hex}")
    string(APPEND faults "no ${text} in the manifest\n")
  endif()
endforeach()
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
