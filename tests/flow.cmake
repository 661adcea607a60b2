# The update engine (flow/): its flows against the emulated device, its outcome vocabulary,
# and the proof that its archive calls no I/O, clock or thread function.
if(TARGET nuv_flow)
  nuv_add_test(test_flow
    SOURCES ${CMAKE_CURRENT_SOURCE_DIR}/test_flow_engine.cpp
            ${CMAKE_CURRENT_SOURCE_DIR}/test_flow_outcome.cpp
    LIBS nuv_flow nuv_sim
    LABELS unit)
  target_compile_definitions(test_flow PRIVATE NUV_SOURCE_DIR="${PROJECT_SOURCE_DIR}")
  add_test(NAME flow_archive_does_no_io
    COMMAND ${CMAKE_COMMAND} -DNM=${CMAKE_NM} -DARCHIVE=$<TARGET_FILE:nuv_flow>
            -P ${CMAKE_CURRENT_SOURCE_DIR}/flow/check_no_io.cmake)
  set_tests_properties(flow_archive_does_no_io PROPERTIES LABELS unit)
  # The engine is built for the browser too, with libc++ 14 and without exceptions: where
  # clang 14 and its libc++ are installed, the sources are checked against them.
  find_program(NUV_CLANGXX_14 clang++-14)
  if(NUV_CLANGXX_14 AND EXISTS /usr/lib/llvm-14/include/c++/v1)
    file(GLOB flow_sources CONFIGURE_DEPENDS ${PROJECT_SOURCE_DIR}/flow/*.cpp)
    add_test(NAME flow_builds_with_libcxx14_without_exceptions
      COMMAND ${NUV_CLANGXX_14} -std=c++20 -stdlib=libc++ -fno-exceptions -fsyntax-only -Wall
              -Wextra -Werror -I${NUV_SOURCE_ROOT} ${flow_sources})
    set_tests_properties(flow_builds_with_libcxx14_without_exceptions PROPERTIES LABELS unit)
  endif()
endif()
# The engine against the windows' own flows, fault by fault and on random schedules.
if(TARGET nuv_flow AND TARGET nuv_vornex AND TARGET nuv_winapi_sim AND TARGET nuv_mac)
  nuv_add_test(test_flow_differential
    SOURCES ${CMAKE_CURRENT_SOURCE_DIR}/test_flow_differential.cpp
    LIBS nuv_flow nuv_vornex nuv_winapi_sim nuv_forms_headless nuv_mac nuv_iohid_sim
         nuv_cocoa_headless nuv_sim
    LABELS cli)
endif()
# The blocking runner over the emulated device.
if(TARGET nuv_run)
  nuv_add_test(test_run SOURCES ${CMAKE_CURRENT_SOURCE_DIR}/test_run.cpp LIBS nuv_run
    LABELS unit)
endif()
