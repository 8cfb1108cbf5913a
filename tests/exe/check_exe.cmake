cmake_minimum_required(VERSION 3.16)
# Checks the finished tolvane.exe: 64-bit, importing exactly the functions
# that imports.txt beside this file allows, hardened (ASLR with high entropy,
# DEP, a stack protector), marked for the oldest Windows it runs on, carrying
# its version and its event messages, small, and shipped stripped, with its
# symbols found through its debug link.
# Run as: cmake -DEXE=... -DSYMBOLS=... -DTOOLS=x86_64-w64-mingw32- -DVERSION=...
#               -P check_exe.cmake
set(OBJDUMP ${TOOLS}objdump)
set(STRINGS ${TOOLS}strings)

execute_process(COMMAND ${OBJDUMP} -f ${EXE} OUTPUT_VARIABLE header RESULT_VARIABLE rc)
if(NOT rc EQUAL 0 OR NOT header MATCHES "file format pei-x86-64")
  message(FATAL_ERROR "not a 64-bit Windows executable:\n${header}")
endif()

execute_process(COMMAND ${OBJDUMP} -p ${EXE} OUTPUT_VARIABLE headers)

# Imports, as DLL!function, from the import tables objdump interprets.
string(REGEX MATCH "The Import Tables.*" tables "${headers}")
string(REGEX REPLACE "\nThe [^\n]*(Table|Directory|Relocations).*" "" tables "${tables}")
string(REPLACE ";" "," tables "${tables}")
string(REPLACE "\n" ";" tables "${tables}")
set(imports "")
foreach(line IN LISTS tables)
  if(line MATCHES "DLL Name: (.+)$")
    string(TOLOWER "${CMAKE_MATCH_1}" dll)
  elseif(dll AND line MATCHES "^\t[0-9a-f]+\t +[0-9]+  ([^ ]+)$")
    list(APPEND imports "${dll}!${CMAKE_MATCH_1}")
  endif()
endforeach()
if(NOT imports)
  message(FATAL_ERROR "no imports found; objdump output:\n${headers}")
endif()
get_filename_component(here ${CMAKE_CURRENT_LIST_FILE} DIRECTORY)
file(STRINGS ${here}/imports.txt allowed REGEX "^[^#]")
foreach(import IN LISTS imports)
  if(NOT import IN_LIST allowed)
    message(FATAL_ERROR "tolvane.exe imports ${import}, which tests/exe/imports.txt does not "
                        "allow: add it there if the new call is meant")
  endif()
endforeach()
foreach(import IN LISTS allowed)
  if(NOT import IN_LIST imports)
    message(FATAL_ERROR "tests/exe/imports.txt allows ${import}, which tolvane.exe no longer "
                        "imports: remove its line")
  endif()
endforeach()

# ASLR, with addresses above 4 GiB, and DEP; and the oldest Windows it runs
# on, Vista / Server 2008, as the loader reads it.
string(REGEX MATCH "DllCharacteristics[^\n]*\n(\t+[A-Z_]+\n)*" characteristics "${headers}")
foreach(flag DYNAMIC_BASE HIGH_ENTROPY_VA NX_COMPAT)
  if(NOT characteristics MATCHES "\t${flag}\n")
    message(FATAL_ERROR "tolvane.exe lacks ${flag}:\n${characteristics}")
  endif()
endforeach()
foreach(field OSystemVersion SubsystemVersion)
  if(NOT headers MATCHES "\nMajor${field}\t+6\nMinor${field}\t+0\n")
    string(REGEX MATCH "Major${field}[^\n]*\nMinor${field}[^\n]*" found "${headers}")
    message(FATAL_ERROR "tolvane.exe does not say Windows 6.0 in its ${field}:\n${found}")
  endif()
endforeach()

# Resource texts are stored as UTF-16.
execute_process(COMMAND ${STRINGS} -el ${EXE} OUTPUT_VARIABLE texts)
foreach(expected "FileVersion" "ProductVersion" "${VERSION}" "Tolvane static route loader service"
                 "could not complete the step %2" "%1")
  string(FIND "${texts}" "${expected}" at)
  if(at EQUAL -1)
    message(FATAL_ERROR "tolvane.exe carries no \"${expected}\" in its resources")
  endif()
endforeach()
list(LENGTH imports count)
message(STATUS "tolvane.exe imports ${count} functions, all in tests/exe/imports.txt")

# What ships carries no symbols and stays small.
file(SIZE ${EXE} size)
if(size GREATER 73728)
  message(FATAL_ERROR "tolvane.exe has ${size} bytes, more than 72 KiB")
endif()
execute_process(COMMAND ${TOOLS}nm ${EXE} OUTPUT_VARIABLE listed ERROR_VARIABLE listed)
if(NOT listed MATCHES "no symbols")
  message(FATAL_ERROR "tolvane.exe is not stripped:\n${listed}")
endif()
# A debugger given only the executable finds the entry's source line in the
# separate symbols, which must be the very file its debug link names.
execute_process(COMMAND ${TOOLS}nm ${SYMBOLS} OUTPUT_VARIABLE symbols)
# The stack protector's guard, which every protected function compares.
if(NOT symbols MATCHES "\n[0-9a-f]+ B __stack_chk_guard\n")
  message(FATAL_ERROR "tolvane.debug holds no __stack_chk_guard: built without a stack protector")
endif()
string(REGEX MATCH "([0-9a-f]+) T _Z11ProgramMainiPPc" found "${symbols}")
execute_process(COMMAND ${TOOLS}addr2line -f -e ${EXE} 0x${CMAKE_MATCH_1} OUTPUT_VARIABLE line)
if(NOT found OR NOT line MATCHES "ProgramMain.*\n.*cli/program\\.cpp:[0-9]+")
  message(FATAL_ERROR "no source line for ProgramMain through the debug link: ${line}")
endif()
message(STATUS "tolvane.exe: ${size} bytes, symbols in ${SYMBOLS}")
