if(TARGET nuv_cli)
  nuv_add_test(test_cli
    SOURCES ${CMAKE_CURRENT_SOURCE_DIR}/test_cli_options.cpp
            ${CMAKE_CURRENT_SOURCE_DIR}/test_cli_image_tools.cpp
            ${CMAKE_CURRENT_SOURCE_DIR}/test_cli_verify.cpp
    LIBS nuv_cli
    LABELS unit)
endif()
