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
# The Python package with Debian's Python and pytest (python3-pytest), on the library of this
# build. Not in sanitizer builds: a Python that was not started with the sanitizer's runtime
# cannot load a library built with it.
if(TARGET nuv_capi AND NUV_SANITIZE STREQUAL "")
  add_test(NAME capi_python
    COMMAND /usr/bin/python3 -m pytest -q -p no:cacheprovider ${NUV_SOURCE_ROOT}/python/tests)
  set_tests_properties(capi_python PROPERTIES LABELS cli TIMEOUT 300
    ENVIRONMENT "NUV_LIBRARY=$<TARGET_FILE:nuv_capi>;PYTHONDONTWRITEBYTECODE=1")
endif()
