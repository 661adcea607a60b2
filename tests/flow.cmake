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
endif()
# The engine against the windows' own flows, fault by fault and on random schedules.
if(TARGET nuv_flow AND TARGET nuv_vornex AND TARGET nuv_winapi_sim AND TARGET nuv_mac)
  nuv_add_test(test_flow_differential
    SOURCES ${CMAKE_CURRENT_SOURCE_DIR}/test_flow_differential.cpp
    LIBS nuv_flow nuv_vornex nuv_winapi_sim nuv_forms_headless nuv_mac nuv_iohid_sim
         nuv_cocoa_headless nuv_sim
    LABELS cli)
endif()
