if(TARGET nuv_vornex_gauge)
  nuv_add_test(test_gauge SOURCES test_gauge.cpp LIBS nuv_vornex_gauge LABELS vornex)
endif()
if(TARGET nuv_forms_headless)
  nuv_add_test(test_forms SOURCES test_forms.cpp LIBS nuv_forms_headless LABELS vornex)
endif()
if(TARGET nuv_vornex AND TARGET nuv_winapi_sim)
  foreach(t flows failures devices)
    nuv_add_test(test_vornex_${t} SOURCES test_vornex_${t}.cpp
      LIBS nuv_vornex nuv_winapi_sim nuv_forms_headless nuv_sim LABELS vornex)
  endforeach()
endif()
if(TARGET nuv_vornex_qt AND TARGET nuv_winapi_sim)
  nuv_add_test(test_vornex_qt SOURCES test_vornex_qt.cpp
    LIBS nuv_vornex_qt nuv_winapi_sim nuv_sim LABELS vornex)
  target_compile_definitions(test_vornex_qt PRIVATE
    VORNEX_DEFAULT_SCREENSHOT_DIR="${CMAKE_BINARY_DIR}/vornex-screenshots")
endif()
