# The bench pulls the serial adapter out and plugs it in again: the gateway
# must say so once, tell the server once, keep its link and resume the bus.
if(TARGET pelko-sim AND NOT CMAKE_CROSSCOMPILING)
  add_test(NAME bench.SerialLineUnpluggedAndPluggedInAgain
           COMMAND $<TARGET_FILE:pelko-sim> --quiet --scenario ${PROJECT_SOURCE_DIR}/tools/scenarios/serial-unplugged.json)
  set_tests_properties(bench.SerialLineUnpluggedAndPluggedInAgain PROPERTIES LABELS "e2e;native" TIMEOUT 240)
endif()
