# Compiler settings shared by every target of the project.

# The tree's root: every header is included with its path from here, so it is every target's
# include directory. Not PROJECT_SOURCE_DIR: the fuzz tree builds the same libraries as a
# project of its own, rooted in fuzz/.
get_filename_component(NUV_SOURCE_ROOT ${CMAKE_CURRENT_LIST_DIR}/.. ABSOLUTE)

find_program(CCACHE_PROGRAM ccache)
if(CCACHE_PROGRAM)
  set(CMAKE_CXX_COMPILER_LAUNCHER ${CCACHE_PROGRAM})
  set(CMAKE_C_COMPILER_LAUNCHER ${CCACHE_PROGRAM})
endif()

# Warnings are errors in the project's own CI and developer builds, which turn this on
# (scripts/test.sh and .ci/run, also through the environment for the builds their suites make),
# and never in a build that someone else runs with another compiler or build type: a new
# compiler's new warning must not stop a packager.
set(nuv_warnings_as_errors_default OFF)
if(DEFINED ENV{NUV_WARNINGS_AS_ERRORS})
  set(nuv_warnings_as_errors_default $ENV{NUV_WARNINGS_AS_ERRORS})
endif()
option(NUV_WARNINGS_AS_ERRORS "Treat compiler warnings as errors" ${nuv_warnings_as_errors_default})

add_library(nuv_warnings INTERFACE)
# Designated initializers that leave later members at their defaults are intended.
target_compile_options(nuv_warnings INTERFACE -Wall -Wextra -Wno-missing-field-initializers)
if(NUV_WARNINGS_AS_ERRORS)
  target_compile_options(nuv_warnings INTERFACE -Werror)
endif()

if(NUV_SANITIZE STREQUAL "address")
  add_compile_options(-fsanitize=address,undefined -fno-omit-frame-pointer -fno-sanitize-recover=all)
  add_link_options(-fsanitize=address,undefined)
elseif(NUV_SANITIZE STREQUAL "thread")
  add_compile_options(-fsanitize=thread -fno-omit-frame-pointer)
  add_link_options(-fsanitize=thread)
elseif(NOT NUV_SANITIZE STREQUAL "")
  message(FATAL_ERROR "NUV_SANITIZE must be empty, 'address' or 'thread'")
endif()

# nuv_add_test(NAME SOURCES... LIBS...): one GoogleTest binary, registered with CTest
# test by test so that a failing case is named in the CTest output.
function(nuv_add_test name)
  cmake_parse_arguments(T "" "" "SOURCES;LIBS;LABELS" ${ARGN})
  add_executable(${name} ${T_SOURCES})
  target_link_libraries(${name} PRIVATE ${T_LIBS} GTest::gtest GTest::gmock GTest::gtest_main nuv_warnings)
  # Test helpers ("tests/...", "testsupport/...") are included from the tree's root.
  target_include_directories(${name} PRIVATE ${NUV_SOURCE_ROOT})
  # Windows under test draw on Qt's offscreen platform however the tests are run (ctest by hand
  # on a machine without a display included); tests without Qt ignore the variable.
  gtest_discover_tests(${name} DISCOVERY_TIMEOUT 60
    PROPERTIES LABELS "${T_LABELS}" ENVIRONMENT QT_QPA_PLATFORM=offscreen)
endfunction()
