# The kernel hidraw path's cost, measured inside the test VM (run by the VM suite).
if(TARGET nuv_vm_guest)
  nuv_add_bench(vm_bench_hidraw
    SOURCES ${CMAKE_CURRENT_SOURCE_DIR}/vm_bench_hidraw.cpp
    LIBS nuv_vm_guest nuv_protocol)
  file(GENERATE OUTPUT ${CMAKE_BINARY_DIR}/vm/bench.programs CONTENT
"VM_BENCH_HIDRAW='$<TARGET_FILE:vm_bench_hidraw>'
")
  file(GENERATE OUTPUT ${CMAKE_BINARY_DIR}/vm/90-bench.tests CONTENT
"bench-hidraw-uhid $<TARGET_FILE:vm_bench_hidraw> --benchmark_color=false --path=uhid
bench-hidraw-usb $<TARGET_FILE:vm_bench_hidraw> --benchmark_color=false --path=usb
")
endif()
# Several kernel devices of one emulate, flashed at once by one download --all.
if(TARGET nuv_vm_guest AND TARGET vornex-cli)
  nuv_add_bench(vm_bench_fleet SOURCES ${CMAKE_CURRENT_SOURCE_DIR}/vm_bench_fleet.cpp
    LIBS nuv_protocol)
  target_compile_definitions(vm_bench_fleet PRIVATE VORNEX_CLI="$<TARGET_FILE:vornex-cli>")
  add_dependencies(vm_bench_fleet vornex-cli)
  file(GENERATE OUTPUT ${CMAKE_BINARY_DIR}/vm/bench-fleet.programs CONTENT
"VM_BENCH_FLEET='$<TARGET_FILE:vm_bench_fleet>'
")
  file(GENERATE OUTPUT ${CMAKE_BINARY_DIR}/vm/91-bench-fleet.tests CONTENT
"bench-fleet-uhid $<TARGET_FILE:vm_bench_fleet> --benchmark_color=false
")
endif()
