# Programs that run inside the test VM against the kernel's HID stack, and the suite that boots
# the VM. The programs are not CTest tests of their own: they need a kernel with uhid, which
# only the VM has.
if(CMAKE_SYSTEM_NAME STREQUAL "Linux" AND TARGET nuv_uhid)
  find_package(PkgConfig REQUIRED)
  pkg_check_modules(NUV_VM_LIBUDEV REQUIRED IMPORTED_TARGET libudev)

  # The uhid device without a kernel: a socket pair plays /dev/uhid.
  nuv_add_test(test_uhid
    SOURCES ${CMAKE_CURRENT_SOURCE_DIR}/vm/test_uhid_server.cpp
    LIBS nuv_uhid
    LABELS unit)

  add_library(nuv_vm_guest STATIC ${CMAKE_CURRENT_SOURCE_DIR}/vm/GuestSupport.cpp)
  target_include_directories(nuv_vm_guest PUBLIC ${NUV_SOURCE_ROOT})
  target_link_libraries(nuv_vm_guest PUBLIC PkgConfig::NUV_VM_LIBUDEV nuv_protocol PRIVATE nuv_warnings)

  add_executable(vm_guest_hidraw ${CMAKE_CURRENT_SOURCE_DIR}/vm/test_guest_hidraw.cpp)
  target_link_libraries(vm_guest_hidraw PRIVATE nuv_vm_guest nuv_uhid nuv_protocol
                        GTest::gtest GTest::gtest_main nuv_warnings)

  if(TARGET nuv_hidraw)
    add_executable(vm_guest_hidraw_layer ${CMAKE_CURRENT_SOURCE_DIR}/vm/test_guest_hidraw_layer.cpp)
    target_link_libraries(vm_guest_hidraw_layer PRIVATE nuv_vm_guest nuv_hidraw nuv_protocol
                          GTest::gtest GTest::gtest_main nuv_warnings)
    file(GENERATE OUTPUT ${CMAKE_BINARY_DIR}/vm/hidraw-layer.programs CONTENT
"VM_GUEST_HIDRAW_LAYER='$<TARGET_FILE:vm_guest_hidraw_layer>'
")
    file(GENERATE OUTPUT ${CMAKE_BINARY_DIR}/vm/20-hidraw-layer.tests CONTENT
"hidraw-layer $<TARGET_FILE:vm_guest_hidraw_layer>
")
  endif()

  if(TARGET nuv_iohid_linux AND TARGET nuv_mac AND TARGET nuv_cocoa_headless)
    add_executable(vm_guest_quenlorhid ${CMAKE_CURRENT_SOURCE_DIR}/vm/test_guest_quenlorhid.cpp)
    target_link_libraries(vm_guest_quenlorhid PRIVATE nuv_vm_guest nuv_mac nuv_iohid_linux
                          nuv_cocoa_headless GTest::gtest GTest::gtest_main nuv_warnings)
    file(GENERATE OUTPUT ${CMAKE_BINARY_DIR}/vm/quenlorhid.programs CONTENT
"VM_GUEST_QUENLORHID='$<TARGET_FILE:vm_guest_quenlorhid>'
")
    file(GENERATE OUTPUT ${CMAKE_BINARY_DIR}/vm/30-quenlorhid.tests CONTENT
"quenlorhid-linux $<TARGET_FILE:vm_guest_quenlorhid>
")
  endif()

  if(TARGET nuv_cli_flows AND TARGET nuv_hidraw)
    add_executable(vm_guest_cli ${CMAKE_CURRENT_SOURCE_DIR}/vm/test_guest_cli.cpp)
    target_link_libraries(vm_guest_cli PRIVATE nuv_vm_guest nuv_cli_flows GTest::gtest GTest::gtest_main
                          nuv_warnings)
    file(GENERATE OUTPUT ${CMAKE_BINARY_DIR}/vm/cli.programs CONTENT
"VM_GUEST_CLI='$<TARGET_FILE:vm_guest_cli>'
")
    file(GENERATE OUTPUT ${CMAKE_BINARY_DIR}/vm/40-cli.tests CONTENT
"cli-commands $<TARGET_FILE:vm_guest_cli>
")
  endif()

  # The vornex-cli program itself, run as a child process as scripts run it.
  if(TARGET vornex-cli)
    add_executable(vm_guest_cli_program ${CMAKE_CURRENT_SOURCE_DIR}/vm/test_guest_cli_program.cpp)
    target_include_directories(vm_guest_cli_program PRIVATE ${NUV_SOURCE_ROOT})
    target_link_libraries(vm_guest_cli_program PRIVATE nuv_vm_guest nuv_sim GTest::gtest
                          GTest::gtest_main nuv_warnings)
    target_compile_definitions(vm_guest_cli_program PRIVATE VORNEX_CLI="$<TARGET_FILE:vornex-cli>")
    add_dependencies(vm_guest_cli_program vornex-cli)
    file(GENERATE OUTPUT ${CMAKE_BINARY_DIR}/vm/cli-program.programs CONTENT
"VM_GUEST_CLI_PROGRAM='$<TARGET_FILE:vm_guest_cli_program>'
VORNEX_CLI='$<TARGET_FILE:vornex-cli>'
")
    file(GENERATE OUTPUT ${CMAKE_BINARY_DIR}/vm/45-cli-program.tests CONTENT
"cli-program $<TARGET_FILE:vm_guest_cli_program>
")
  endif()

  if(TARGET nuv_winhid AND TARGET nuv_winapi_linux AND TARGET nuv_forms_headless)
    add_executable(vm_guest_winhid ${CMAKE_CURRENT_SOURCE_DIR}/vm/test_guest_winhid.cpp)
    target_link_libraries(vm_guest_winhid PRIVATE nuv_vm_guest nuv_winhid nuv_winapi_linux
                          nuv_forms_headless GTest::gtest GTest::gtest_main nuv_warnings)
    file(GENERATE OUTPUT ${CMAKE_BINARY_DIR}/vm/winhid.programs CONTENT
"VM_GUEST_WINHID='$<TARGET_FILE:vm_guest_winhid>'
")
    file(GENERATE OUTPUT ${CMAKE_BINARY_DIR}/vm/25-winhid.tests CONTENT
"winhid-linux $<TARGET_FILE:vm_guest_winhid>
")
  endif()

  # Where the suite finds the programs, whatever the generator puts them.
  file(GENERATE OUTPUT ${CMAKE_BINARY_DIR}/vm/tests.programs CONTENT
"NUV_UHID_DEVICE='$<TARGET_FILE:nuv-uhid-device>'
VM_GUEST_HIDRAW='$<TARGET_FILE:vm_guest_hidraw>'
")

  file(GENERATE OUTPUT ${CMAKE_BINARY_DIR}/vm/10-uhid.tests CONTENT
"uhid-hidraw $<TARGET_FILE:vm_guest_hidraw>
")

  add_test(NAME vm_suite
           COMMAND ${CMAKE_CURRENT_SOURCE_DIR}/vm/run-vm-suite.sh ${CMAKE_BINARY_DIR})
  # 77: qemu or the kernel cannot be had here; the script prints why.
  set_tests_properties(vm_suite PROPERTIES LABELS vm SKIP_RETURN_CODE 77 TIMEOUT 900)
endif()
