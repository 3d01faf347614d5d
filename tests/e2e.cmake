# End-to-end tests: the real gateway under the bench simulator. They carry
# the label "e2e" so slow runners can pick them out (ctest -L e2e) or leave
# them out (ctest -LE e2e); "native" keeps them off the emulator.
if(TARGET test_e2e AND TARGET pelko-sim)
  add_dependencies(test_e2e pelko-sim)
  target_compile_definitions(test_e2e PRIVATE PELKO_SIM_BINARY="$<TARGET_FILE:pelko-sim>")
  # The tests are discovered when CTest runs; this file, included after the
  # discovered list, labels them.
  set(_e2e_file ${CMAKE_CURRENT_BINARY_DIR}/test_e2e_labels.cmake)
  file(WRITE ${_e2e_file} "if(DEFINED test_e2e_TESTS)\n"
    "  set_tests_properties(\${test_e2e_TESTS} PROPERTIES LABELS \"e2e;test_e2e;native\" TIMEOUT 240)\nendif()\n")
  set_property(DIRECTORY APPEND PROPERTY TEST_INCLUDE_FILES ${_e2e_file})
endif()

# The server link over TLS: stunnel on both ends of the loopback, the
# packaged example configuration on the gateway's end.
if(TARGET pelko-sim)
  add_test(NAME e2e.TunnelCarriesTheServerLinkAndRefusesAWrongServer
           COMMAND ${CMAKE_CURRENT_SOURCE_DIR}/check-tunnel.sh $<TARGET_FILE:pelko-sim> $<TARGET_FILE:pelko>
                   ${PROJECT_SOURCE_DIR}/packaging/tunnel/stunnel-pelko.conf)
  set_tests_properties(e2e.TunnelCarriesTheServerLinkAndRefusesAWrongServer PROPERTIES
                       SKIP_RETURN_CODE 77 LABELS "e2e;native" TIMEOUT 240)
endif()
