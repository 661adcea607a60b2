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
