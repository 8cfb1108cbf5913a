# Windows build: the real tolvane.exe against the real <windows.h>, plus the
# programs the end-to-end suite runs under Wine.
enable_language(RC)

set(TOLVANE_WARNINGS -Wall -Wextra -Werror)
set(TOLVANE_STATIC_LINK -static -static-libgcc -static-libstdc++)

# The product is C++ written against the C library alone: it throws nothing,
# asks no type at run time and includes none of the C++ library's headers.
# Those headers would switch every printf-family call to MinGW's own C99
# printf (about 24 KiB, floating-point conversion included, which nothing
# here formats); without them, snprintf is MinGW's wrapper of the system C
# runtime's, which terminates what it cuts and returns the length it needed.
set(TOLVANE_LANGUAGE -fno-exceptions -fno-rtti -nostdinc++)
# Optimised for size, after the build type's flags: the service spends its
# time waiting for the route tool and the network, not in its own code, and
# -Os keeps the executable 10 KiB below what -O3 makes of it.
set(TOLVANE_OPTIMIZE -Os)
set(TOLVANE_DEFINITIONS WIN32_LEAN_AND_MEAN __USE_MINGW_ANSI_STDIO=0)

# Hardening: a stack protector in every function with an array or a local
# whose address is taken (its guard and check from cli/stack_guard.cpp, which
# seeds the guard without the CryptoAPI, so that libssp's own guard, which
# would, is never linked); the buffer checks of MinGW's C headers (libssp's;
# _FORTIFY_SOURCE, in effect only when optimising; 2 is the highest level they know), which
# check memcpy, memset, strcpy and the like, snprintf, sprintf and fgets
# against the size of their destination where the compiler knows it, when
# compiling if the length is constant; and ASLR with high entropy and DEP,
# set here rather than left to the linker's defaults. A smashed stack or a
# failed check ends the process at once, with STATUS_STACK_BUFFER_OVERRUN.
set(TOLVANE_HARDENING -fstack-protector-strong)
list(APPEND TOLVANE_DEFINITIONS _FORTIFY_SOURCE=2)
set(TOLVANE_HARDENING_LINK -fstack-protector-strong
    -Wl,--dynamicbase,--high-entropy-va,--nxcompat)

# The oldest Windows it runs on is Vista / Server 2008 (6.0), for the slim
# reader/writer lock; every other call it imports is older. The headers then
# declare nothing newer, and the PE header says the same to the loader.
list(APPEND TOLVANE_DEFINITIONS _WIN32_WINNT=0x0600)
set(TOLVANE_OLDEST_WINDOWS_LINK
    -Wl,--major-os-version,6,--minor-os-version,0
    -Wl,--major-subsystem-version,6,--minor-subsystem-version,0)

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

add_executable(tolvane main.cpp cli/stack_guard.cpp ${TOLVANE_SOURCES} ${MC_OUT}/tolvane.rc)
set_source_files_properties(cli/stack_guard.cpp PROPERTIES COMPILE_OPTIONS -fno-stack-protector)
target_include_directories(tolvane PRIVATE ${CMAKE_SOURCE_DIR} ${MC_OUT})
target_compile_options(tolvane PRIVATE ${TOLVANE_WARNINGS} ${TOLVANE_LANGUAGE} ${TOLVANE_OPTIMIZE}
                       ${TOLVANE_HARDENING})
target_compile_definitions(tolvane PRIVATE ${TOLVANE_DEFINITIONS})
target_link_options(tolvane PRIVATE ${TOLVANE_STATIC_LINK} ${TOLVANE_HARDENING_LINK}
                    ${TOLVANE_OLDEST_WINDOWS_LINK})
# No user32: the service loads it from the system folder only for a message box.
target_link_libraries(tolvane PRIVATE advapi32)

# The same sources build to the same bytes wherever and whenever they are
# built: paths in the debug information and in __FILE__ are relative to the
# source and build trees, and the PE header carries no link time.
target_compile_options(tolvane PRIVATE -g
  -ffile-prefix-map=${CMAKE_SOURCE_DIR}=.
  -ffile-prefix-map=${CMAKE_BINARY_DIR}=.)
target_link_options(tolvane PRIVATE -Wl,--no-insert-timestamp)

# What ships is stripped. The symbols stay beside it in tolvane.debug, which
# the executable names (with its checksum) so that a debugger finds them.
# objcopy stamps the PE header with SOURCE_DATE_EPOCH, else with the time of
# day: zero keeps both files free of any time.
set(TOLVANE_SYMBOLS ${CMAKE_BINARY_DIR}/tolvane.debug)
set(OBJCOPY ${CMAKE_COMMAND} -E env SOURCE_DATE_EPOCH=0 ${CMAKE_OBJCOPY})
add_custom_command(TARGET tolvane POST_BUILD
  COMMAND ${OBJCOPY} --only-keep-debug $<TARGET_FILE:tolvane> ${TOLVANE_SYMBOLS}
  COMMAND ${OBJCOPY} --strip-all --add-gnu-debuglink=${TOLVANE_SYMBOLS} $<TARGET_FILE:tolvane>
  BYPRODUCTS ${TOLVANE_SYMBOLS}
  COMMENT "Moving the symbols of tolvane.exe to tolvane.debug")

# The packages an administrator downloads, the zip and the MSI, packed at
# every build.
find_package(Python3 REQUIRED COMPONENTS Interpreter)
set(TOLVANE_PACKAGE ${CMAKE_BINARY_DIR}/tolvane-${PROJECT_VERSION}-win64.zip)
set(TOLVANE_MSI ${CMAKE_BINARY_DIR}/tolvane-${PROJECT_VERSION}-x64.msi)
set(TOLVANE_SUMS ${CMAKE_BINARY_DIR}/tolvane-${PROJECT_VERSION}-SHA256SUMS.txt)
set(TOLVANE_STAGE ${CMAKE_BINARY_DIR}/package)
add_custom_target(dist ALL
  COMMAND ${CMAKE_COMMAND} -DSOURCE_DIR=${CMAKE_SOURCE_DIR} -DEXE=$<TARGET_FILE:tolvane>
          -DPYTHON=${Python3_EXECUTABLE} -DSTAGE=${TOLVANE_STAGE}
          -DPACKAGE=${TOLVANE_PACKAGE} -DVERSION=${PROJECT_VERSION} -DMSI=${TOLVANE_MSI}
          -P ${CMAKE_SOURCE_DIR}/cmake/package.cmake
  BYPRODUCTS ${TOLVANE_PACKAGE} ${TOLVANE_MSI} ${TOLVANE_SUMS}
  COMMENT "Packing tolvane-${PROJECT_VERSION}-win64.zip and tolvane-${PROJECT_VERSION}-x64.msi"
  VERBATIM)
add_dependencies(dist tolvane)

if(EXISTS ${CMAKE_SOURCE_DIR}/tests/wine/CMakeLists.txt)
  add_subdirectory(tests/wine)
endif()

add_test(NAME executable_is_self_contained_versioned_and_stripped
  COMMAND ${CMAKE_COMMAND} -DEXE=$<TARGET_FILE:tolvane> -DSYMBOLS=${TOLVANE_SYMBOLS}
          -DTOOLS=${TOOLCHAIN_PREFIX}- -DVERSION=${PROJECT_VERSION}
          -P ${CMAKE_SOURCE_DIR}/tests/exe/check_exe.cmake)

add_test(NAME package_holds_what_an_administrator_needs
  COMMAND ${Python3_EXECUTABLE} ${CMAKE_SOURCE_DIR}/tests/exe/check_package.py
          ${TOLVANE_PACKAGE} $<TARGET_FILE:tolvane> ${TOLVANE_MSI} ${PROJECT_VERSION})

# A second build from a clone in another folder must give the same bytes.
add_test(NAME package_builds_to_the_same_bytes_from_a_clone
  COMMAND ${CMAKE_SOURCE_DIR}/tests/exe/check_reproducible ${CMAKE_SOURCE_DIR} ${CMAKE_BINARY_DIR}
          ${CMAKE_BUILD_TYPE} ${CMAKE_GENERATOR} tolvane.exe tolvane.debug
          tolvane-${PROJECT_VERSION}-win64.zip tolvane-${PROJECT_VERSION}-x64.msi
          tolvane-${PROJECT_VERSION}-SHA256SUMS.txt)
set_tests_properties(package_builds_to_the_same_bytes_from_a_clone PROPERTIES
  SKIP_RETURN_CODE 77 TIMEOUT 300)

# The signing path of `make dist`, with a throwaway certificate.
add_test(NAME signed_packages_verify_and_a_changed_byte_does_not
  COMMAND ${CMAKE_SOURCE_DIR}/tests/exe/check_signing ${CMAKE_SOURCE_DIR} $<TARGET_FILE:tolvane>
          ${Python3_EXECUTABLE} ${PROJECT_VERSION})
