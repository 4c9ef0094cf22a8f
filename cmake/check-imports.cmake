# Fails when a Windows program of the build imports a DLL that Windows does
# not ship itself (a MinGW run-time DLL such as libstdc++-6.dll): each .exe
# must run alone, copied anywhere.
#   cmake -DOBJDUMP=... -DDIR=<build dir> -P check-imports.cmake
cmake_minimum_required(VERSION 3.25)  # globs do not follow symbolic links

set(windows_dlls
    advapi32 comctl32 comdlg32 gdi32 imm32 kernel32 msvcrt ntdll ole32 oleaut32 shell32 shlwapi
    user32 uxtheme version winmm ws2_32)

# Every folder of the build but the wine prefix, whose z: drive is all of /.
file(GLOB top LIST_DIRECTORIES true ${DIR}/*)
set(programs "")
foreach(entry ${top})
  get_filename_component(name ${entry} NAME)
  if(name STREQUAL "wine" OR name STREQUAL "CMakeFiles")
    continue()
  elseif(IS_DIRECTORY ${entry})
    file(GLOB_RECURSE found ${entry}/*.exe)
    list(APPEND programs ${found})
  elseif(name MATCHES "\\.exe$")
    list(APPEND programs ${entry})
  endif()
endforeach()
list(FILTER programs EXCLUDE REGEX "/CMakeFiles/")
if(NOT programs)
  message(FATAL_ERROR "no .exe files under ${DIR}")
endif()

set(bad "")
foreach(program ${programs})
  execute_process(COMMAND ${OBJDUMP} -p ${program} OUTPUT_VARIABLE dump RESULT_VARIABLE status)
  if(NOT status EQUAL 0)
    message(FATAL_ERROR "${OBJDUMP} failed on ${program}")
  endif()
  string(REGEX MATCHALL "DLL Name: [^\n]+" imports "${dump}")
  set(names "")
  foreach(line ${imports})
    string(REGEX REPLACE "DLL Name: ([^ \t\r]+).*" "\\1" dll "${line}")
    list(APPEND names ${dll})
    string(TOLOWER "${dll}" lower)
    string(REGEX REPLACE "\\.dll$" "" lower "${lower}")
    if(NOT lower IN_LIST windows_dlls)
      list(APPEND bad "${program}: ${dll}")
    endif()
  endforeach()
  list(JOIN names " " names)
  file(RELATIVE_PATH shown ${DIR} ${program})
  message(STATUS "${shown}: ${names}")
endforeach()

if(bad)
  list(JOIN bad "\n  " bad)
  message(FATAL_ERROR "imports of DLLs that Windows does not ship:\n  ${bad}")
endif()
