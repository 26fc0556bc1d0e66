# cmake -DSOURCE=... -DVERSION=x.y.z -P version.cmake
#
# The version lives in project(VERSION); every other place that names it
# (the manual page's title, the Debian changelog's latest entry, the file
# names the documents show) must name the same one.
set(places
    "doc/binsearch.1|^\\.TH [^\n]*\"binsearch ([0-9.]+)\""
    "packaging/debian/changelog|^binsearch \\(([0-9.]+)\\)"
    "README.md|binsearch[-_]([0-9]+\\.[0-9]+\\.[0-9]+)[-_]"
    "HACKING.md|binsearch[-_]([0-9]+\\.[0-9]+\\.[0-9]+)[-_]")
set(faults "")
foreach(place IN LISTS places)
  string(REPLACE "|" ";" place "${place}")
  list(GET place 0 file)
  list(GET place 1 pattern)
  file(READ "${SOURCE}/${file}" text)
  string(REGEX MATCHALL "${pattern}" found "${text}")
  if(NOT found)
    string(APPEND faults "${file} names no version\n")
  endif()
  foreach(match IN LISTS found)
    string(REGEX MATCH "${pattern}" match "${match}")
    if(NOT CMAKE_MATCH_1 STREQUAL VERSION)
      string(APPEND faults "${file} names version ${CMAKE_MATCH_1}, not ${VERSION}: ${match}\n")
    endif()
  endforeach()
endforeach()
if(faults)
  message(FATAL_ERROR "${faults}")
endif()
