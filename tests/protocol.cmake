nuv_add_test(test_protocol
  SOURCES ${CMAKE_CURRENT_SOURCE_DIR}/test_hidproto.cpp ${CMAKE_CURRENT_SOURCE_DIR}/test_update_image.cpp ${CMAKE_CURRENT_SOURCE_DIR}/test_byte_source.cpp
    ${CMAKE_CURRENT_SOURCE_DIR}/test_session_record.cpp
  LIBS nuv_protocol
  LABELS unit)
