# End-to-end tests: the real gateway under the bench simulator. They need
# pelko-sim built, and carry the label "e2e" so slow runners can pick them
# out (ctest -L e2e) or leave them out (ctest -LE e2e).
if(TARGET test_e2e AND TARGET pelko-sim)
  add_dependencies(test_e2e pelko-sim)
  target_compile_definitions(test_e2e PRIVATE PELKO_SIM_BINARY="$<TARGET_FILE:pelko-sim>")
  # The tests are discovered when CTest runs; this file, included after the
  # discovered list, labels them.
  # Keeps the labels tests/CMakeLists.txt gives them (such as "native").
  set(_e2e_labels e2e test_e2e)
  if(DEFINED PELKO_NATIVE_ONLY AND test_e2e IN_LIST PELKO_NATIVE_ONLY)
    list(APPEND _e2e_labels native)
  endif()
  set(_e2e_file ${CMAKE_CURRENT_BINARY_DIR}/test_e2e_labels.cmake)
  file(WRITE ${_e2e_file}
    "if(DEFINED test_e2e_TESTS)\n"
    "  set_tests_properties(\${test_e2e_TESTS} PROPERTIES LABELS \"${_e2e_labels}\" TIMEOUT 240)\n"
    "endif()\n")
  set_property(DIRECTORY APPEND PROPERTY TEST_INCLUDE_FILES ${_e2e_file})
endif()
