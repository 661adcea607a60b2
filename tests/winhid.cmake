nuv_add_test(test_winhid
  SOURCES ${CMAKE_CURRENT_SOURCE_DIR}/test_winhid_device.cpp
          ${CMAKE_CURRENT_SOURCE_DIR}/test_winhid_reader.cpp
          ${CMAKE_CURRENT_SOURCE_DIR}/test_winhid_controller.cpp
          ${CMAKE_CURRENT_SOURCE_DIR}/test_winhid_binding.cpp
          ${CMAKE_CURRENT_SOURCE_DIR}/test_winhid_emulation.cpp
  LIBS nuv_winhid nuv_winapi_sim nuv_forms_headless nuv_sim
  LABELS unit)

# The linux backend against the machine's own udev: enumeration and watching must work whether
# or not any hidraw node is present.
if(TARGET nuv_winapi_linux)
  nuv_add_test(test_winhid_linux
    SOURCES ${CMAKE_CURRENT_SOURCE_DIR}/test_winhid_linux.cpp
    LIBS nuv_winhid nuv_winapi_linux nuv_forms_headless
    LABELS unit)
endif()
