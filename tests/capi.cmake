# The C API (capi/, libnuv.so.1): its flows through the header alone, the symbols it exports,
# the C example on the emulated device, and the Python package over it.
if(TARGET nuv_capi)
  nuv_add_test(test_capi SOURCES ${CMAKE_CURRENT_SOURCE_DIR}/test_capi.cpp LIBS nuv_capi
    LABELS unit)
  add_test(NAME capi_exports_only_nuv_symbols
    COMMAND ${CMAKE_COMMAND} -DNM=${CMAKE_NM} -DLIBRARY=$<TARGET_FILE:nuv_capi>
            -P ${NUV_SOURCE_ROOT}/capi/check_exports.cmake)
  set_tests_properties(capi_exports_only_nuv_symbols PROPERTIES LABELS unit)
endif()
if(TARGET nuv-flash-example)
  add_test(NAME capi_flash_example COMMAND nuv-flash-example --sim)
  set_tests_properties(capi_flash_example PROPERTIES LABELS cli
    PASS_REGULAR_EXPRESSION "holds the image byte for byte")
endif()
