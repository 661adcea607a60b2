# The Linux hidraw layer: parser, enumeration and node I/O against fakes of the kernel and of
# udev, a smoke test of the real calls, and a check of the shipped udev rule.
if(TARGET nuv_hidraw)
  foreach(part descriptor enumerator node)
    nuv_add_test(hidraw_${part}_test
      SOURCES ${CMAKE_CURRENT_LIST_DIR}/hidraw/test_hidraw_${part}.cpp
      LIBS nuv_hidraw
      LABELS unit)
    target_include_directories(hidraw_${part}_test PRIVATE ${NUV_SOURCE_ROOT})
  endforeach()

  nuv_add_test(hidraw_udev_rule_test
    SOURCES ${CMAKE_CURRENT_LIST_DIR}/hidraw/test_hidraw_udev_rule.cpp
    LABELS unit)
  target_compile_definitions(hidraw_udev_rule_test PRIVATE
    NUV_UDEV_RULE_FILE="${CMAKE_SOURCE_DIR}/platform/hidraw/70-nuv-update-device.rules")
endif()
