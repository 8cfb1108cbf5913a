cmake_minimum_required(VERSION 3.16)
# Checks the finished tolvane.exe: 64-bit, needing no DLL beyond those every
# Windows installation has, and carrying its version and its event messages.
# Run as: cmake -DEXE=... -DOBJDUMP=... -DSTRINGS=... -DVERSION=... -P check_exe.cmake

execute_process(COMMAND ${OBJDUMP} -f ${EXE} OUTPUT_VARIABLE header RESULT_VARIABLE rc)
if(NOT rc EQUAL 0 OR NOT header MATCHES "file format pei-x86-64")
  message(FATAL_ERROR "not a 64-bit Windows executable:\n${header}")
endif()

execute_process(COMMAND ${OBJDUMP} -p ${EXE} OUTPUT_VARIABLE headers)
string(REGEX MATCHALL "DLL Name: [^\n]+" imports "${headers}")
set(system_dlls "advapi32.dll" "kernel32.dll" "msvcrt.dll" "user32.dll")
foreach(line IN LISTS imports)
  string(REPLACE "DLL Name: " "" dll "${line}")
  string(TOLOWER "${dll}" dll)
  if(NOT dll IN_LIST system_dlls)
    message(FATAL_ERROR "tolvane.exe needs ${dll}, which Windows does not ship")
  endif()
endforeach()
if(NOT imports)
  message(FATAL_ERROR "no imports found; objdump output:\n${headers}")
endif()

# Resource texts are stored as UTF-16.
execute_process(COMMAND ${STRINGS} -el ${EXE} OUTPUT_VARIABLE texts)
foreach(expected "FileVersion" "ProductVersion" "${VERSION}" "Tolvane static route loader service"
                 "could not complete the step %2" "%1")
  string(FIND "${texts}" "${expected}" at)
  if(at EQUAL -1)
    message(FATAL_ERROR "tolvane.exe carries no \"${expected}\" in its resources")
  endif()
endforeach()
message(STATUS "tolvane.exe imports: ${imports}")
