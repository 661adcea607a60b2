# QuenlorHID: the Cocoa and HID manager seams and the controller, on the headless backend.
nuv_add_test(test_cocoa_headless
  SOURCES ${CMAKE_CURRENT_SOURCE_DIR}/test_cocoa_headless.cpp
  LIBS nuv_cocoa_headless
  LABELS unit)
nuv_add_test(test_iohid_sim
  SOURCES ${CMAKE_CURRENT_SOURCE_DIR}/test_iohid_sim.cpp
  LIBS nuv_iohid_sim nuv_cocoa_headless
  LABELS unit)
nuv_add_test(test_mac
  SOURCES ${CMAKE_CURRENT_SOURCE_DIR}/test_mac_lifecycle.cpp
          ${CMAKE_CURRENT_SOURCE_DIR}/test_mac_download.cpp
          ${CMAKE_CURRENT_SOURCE_DIR}/test_mac_faults.cpp
          ${CMAKE_CURRENT_SOURCE_DIR}/test_mac_helpers.cpp
  LIBS nuv_mac nuv_iohid_sim nuv_cocoa_headless
  LABELS unit)
if(TARGET nuv_iohid_linux)
  nuv_add_test(test_iohid_linux
    SOURCES ${CMAKE_CURRENT_SOURCE_DIR}/test_iohid_linux.cpp
    LIBS nuv_iohid_linux nuv_mac nuv_cocoa_headless
    LABELS unit)
  # The fakes of the kernel and of udev that the hidraw layer's own tests use.
  target_include_directories(test_iohid_linux PRIVATE ${NUV_SOURCE_ROOT})
endif()
if(TARGET nuv_cocoa_qt)
  # The Qt window on the offscreen platform; it saves screenshots to look at.
  nuv_add_test(test_mac_window
    SOURCES ${CMAKE_CURRENT_SOURCE_DIR}/test_mac_window.cpp
            ${CMAKE_CURRENT_SOURCE_DIR}/test_cocoa_qt.cpp
    LIBS nuv_mac nuv_cocoa_qt nuv_iohid_sim nuv_cocoa_headless
    LABELS gui)
  target_compile_definitions(test_mac_window PRIVATE
    NUV_SCREENSHOT_DIR="${CMAKE_BINARY_DIR}/screenshots")
endif()
# Its own binary: it links the allocation counter, which replaces operator new.
nuv_add_test(test_mac_alloc
  SOURCES ${CMAKE_CURRENT_SOURCE_DIR}/test_mac_alloc.cpp
  LIBS nuv_mac nuv_iohid_sim nuv_cocoa_headless nuv_alloc_counter
  LABELS unit)
