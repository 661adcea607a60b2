nuv_add_test(test_winhid
  SOURCES ${CMAKE_CURRENT_SOURCE_DIR}/test_winhid_device.cpp
          ${CMAKE_CURRENT_SOURCE_DIR}/test_winhid_reader.cpp
          ${CMAKE_CURRENT_SOURCE_DIR}/test_winhid_controller.cpp
          ${CMAKE_CURRENT_SOURCE_DIR}/test_winhid_binding.cpp
  LIBS nuv_winhid nuv_winapi_sim nuv_forms_headless nuv_sim
  LABELS unit)
