if(TARGET nuv_cli)
  nuv_add_test(test_cli
    SOURCES ${CMAKE_CURRENT_SOURCE_DIR}/test_cli_options.cpp
            ${CMAKE_CURRENT_SOURCE_DIR}/test_cli_image_tools.cpp
            ${CMAKE_CURRENT_SOURCE_DIR}/test_cli_json.cpp
            ${CMAKE_CURRENT_SOURCE_DIR}/test_cli_output.cpp
    LIBS nuv_cli
    LABELS unit)
  # The manual page and the completions agree with the help pages and the parser.
  nuv_add_test(test_cli_manual SOURCES ${CMAKE_CURRENT_SOURCE_DIR}/test_cli_manual.cpp
    LIBS nuv_cli LABELS unit)
  target_compile_definitions(test_cli_manual PRIVATE
    NUV_CLI_MAN_PAGE="$<TARGET_FILE_DIR:vornex-cli-manpage>/vornex-cli.1")
  add_dependencies(test_cli_manual vornex-cli-man)
  if(TARGET vornex-cli)
    target_compile_definitions(test_cli_manual PRIVATE VORNEX_CLI="$<TARGET_FILE:vornex-cli>")
    add_dependencies(test_cli_manual vornex-cli)
  endif()
endif()
if(TARGET nuv_cli AND TARGET nuv_hidraw)
  # Several devices at once on fakes: selection, waiting, retries, station mode.
  nuv_add_test(test_cli_fleet SOURCES ${CMAKE_CURRENT_SOURCE_DIR}/test_cli_fleet.cpp
    LIBS nuv_cli LABELS unit)
  # doctor on a temporary tree; udev-rule against the rule file itself.
  nuv_add_test(test_cli_doctor SOURCES ${CMAKE_CURRENT_SOURCE_DIR}/test_cli_doctor.cpp
    LIBS nuv_cli LABELS unit)
  target_compile_definitions(test_cli_doctor PRIVATE
    NUV_UDEV_RULE_FILE="${PROJECT_SOURCE_DIR}/platform/hidraw/70-nuv-update-device.rules")
endif()
if(TARGET vornex-cli)
  # The program run as a child process, as scripts run it.
  nuv_add_test(test_cli_flows SOURCES ${CMAKE_CURRENT_SOURCE_DIR}/test_cli_flows.cpp
    LIBS nuv_protocol nuv_cli LABELS cli)
  target_compile_definitions(test_cli_flows PRIVATE VORNEX_CLI="$<TARGET_FILE:vornex-cli>")
  add_dependencies(test_cli_flows vornex-cli)
  # emulate's refusals; the device itself runs in the VM suite.
  nuv_add_test(test_cli_emulate SOURCES ${CMAKE_CURRENT_SOURCE_DIR}/test_cli_emulate.cpp LABELS cli)
  target_compile_definitions(test_cli_emulate PRIVATE VORNEX_CLI="$<TARGET_FILE:vornex-cli>")
  add_dependencies(test_cli_emulate vornex-cli)
endif()
if(TARGET nuv_cli_flows)
  # Every device fault at every step of a download, in both flows, on clocks the test moves;
  # it also renders docs/faults.md from its tables.
  nuv_add_test(test_fault_matrix SOURCES ${CMAKE_CURRENT_SOURCE_DIR}/test_fault_matrix.cpp
    LIBS nuv_cli_flows nuv_vornex nuv_mac nuv_winapi_sim nuv_iohid_sim
         nuv_forms_headless nuv_cocoa_headless LABELS cli)
  target_compile_definitions(test_fault_matrix PRIVATE NUV_SOURCE_DIR="${PROJECT_SOURCE_DIR}")
endif()
if(TARGET vornex-cli)
  # Every kind of --json line against the JSON Schema in docs/, with Debian's Python and its
  # jsonschema module (skipped, 77, where that module is missing).
  add_test(NAME cli_json_schema
    COMMAND /usr/bin/python3 ${CMAKE_CURRENT_SOURCE_DIR}/cli_json_schema.py
            $<TARGET_FILE:vornex-cli> ${NUV_SOURCE_ROOT}/docs/cli-schema.json)
  set_tests_properties(cli_json_schema PROPERTIES LABELS cli SKIP_RETURN_CODE 77 TIMEOUT 600)
endif()
