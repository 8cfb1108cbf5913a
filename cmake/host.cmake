# Host build: the product sources against the stand-in Win32 layer, and the
# unit tests that drive them.
find_package(GTest REQUIRED)
find_package(Threads REQUIRED)

set(TOLVANE_SANITIZE "" CACHE STRING "Sanitizers to build with, for example address,undefined or thread")

add_library(fake_win32 STATIC tests/winapi/fake_win32.cpp)
target_include_directories(fake_win32 PUBLIC ${CMAKE_SOURCE_DIR}/tests/winapi)
target_link_libraries(fake_win32 PUBLIC Threads::Threads)

add_library(tolvane_core STATIC ${TOLVANE_SOURCES})
target_include_directories(tolvane_core PUBLIC ${CMAKE_SOURCE_DIR} ${CMAKE_BINARY_DIR}/generated)
target_compile_options(tolvane_core PRIVATE -Wall -Wextra -Werror)
target_link_libraries(tolvane_core PUBLIC fake_win32)

if(TOLVANE_SANITIZE)
  foreach(target fake_win32 tolvane_core)
    target_compile_options(${target} PUBLIC -fsanitize=${TOLVANE_SANITIZE} -fno-omit-frame-pointer)
    target_link_options(${target} PUBLIC -fsanitize=${TOLVANE_SANITIZE})
  endforeach()
endif()

add_subdirectory(tests/unit)

option(TOLVANE_FUZZ "Build the libFuzzer targets (needs clang)" OFF)
if(TOLVANE_FUZZ)
  add_subdirectory(tests/fuzz)
endif()
