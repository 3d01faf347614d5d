# The bench's default scenario once more with direction=none: the gateway
# drives no pin and must serve the bus all the same.
if(TARGET pelko-sim AND NOT CMAKE_CROSSCOMPILING)
  add_test(NAME bench.DefaultScenarioWithoutDirectionPin
           COMMAND $<TARGET_FILE:pelko-sim> --quiet --direction none)
  set_tests_properties(bench.DefaultScenarioWithoutDirectionPin PROPERTIES LABELS "e2e;native" TIMEOUT 240)
endif()
