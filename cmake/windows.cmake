# Windows build: the real tolvane.exe against the real <windows.h>, plus the
# programs the end-to-end suite runs under Wine.
enable_language(RC)

set(TOLVANE_WARNINGS -Wall -Wextra -Werror)
set(TOLVANE_STATIC_LINK -static -static-libgcc -static-libstdc++)

# Message table for Event Viewer, compiled by windmc into a resource script.
set(MC_OUT ${CMAKE_BINARY_DIR}/generated)
add_custom_command(
  OUTPUT ${MC_OUT}/messages.rc ${MC_OUT}/messages.h
  COMMAND ${CMAKE_MC_COMPILER} -b -h ${MC_OUT} -r ${MC_OUT} ${CMAKE_SOURCE_DIR}/report/messages.mc
  DEPENDS ${CMAKE_SOURCE_DIR}/report/messages.mc
  COMMENT "Compiling the event message table")

configure_file(cli/tolvane.rc.in ${MC_OUT}/tolvane.rc @ONLY)
set_source_files_properties(${MC_OUT}/tolvane.rc PROPERTIES
  OBJECT_DEPENDS "${MC_OUT}/messages.rc;${MC_OUT}/messages.h")

add_executable(tolvane main.cpp ${TOLVANE_SOURCES} ${MC_OUT}/tolvane.rc)
target_include_directories(tolvane PRIVATE ${CMAKE_SOURCE_DIR} ${MC_OUT})
target_compile_options(tolvane PRIVATE ${TOLVANE_WARNINGS})
target_compile_definitions(tolvane PRIVATE WIN32_LEAN_AND_MEAN)
target_link_options(tolvane PRIVATE ${TOLVANE_STATIC_LINK})
target_link_libraries(tolvane PRIVATE advapi32 user32)

if(EXISTS ${CMAKE_SOURCE_DIR}/tests/wine/CMakeLists.txt)
  add_subdirectory(tests/wine)
endif()

add_test(NAME executable_is_self_contained_and_versioned
  COMMAND ${CMAKE_COMMAND} -DEXE=$<TARGET_FILE:tolvane>
          -DOBJDUMP=${TOOLCHAIN_PREFIX}-objdump -DSTRINGS=${TOOLCHAIN_PREFIX}-strings
          -DVERSION=${PROJECT_VERSION} -P ${CMAKE_SOURCE_DIR}/tests/exe/check_exe.cmake)
