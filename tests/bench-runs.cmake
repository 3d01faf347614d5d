# Bench runs of the real gateway beyond the end-to-end cases: each is one
# pelko-sim invocation that passes only when every step of its run passes.
if(TARGET pelko-sim AND NOT CMAKE_CROSSCOMPILING)
  function(pelko_bench_run name)
    add_test(NAME bench.${name} COMMAND $<TARGET_FILE:pelko-sim> --quiet ${ARGN})
    set_tests_properties(bench.${name} PROPERTIES LABELS "e2e;native" TIMEOUT 240)
  endfunction()
  # direction=none: the gateway drives no pin and must serve the bus all the same.
  pelko_bench_run(DefaultScenarioWithoutDirectionPin --direction none)
  # The serial adapter pulled out and plugged in again: said once, told the
  # server once, link kept, bus resumed.
  pelko_bench_run(SerialLineUnpluggedAndPluggedInAgain
                  --scenario ${PROJECT_SOURCE_DIR}/tools/scenarios/serial-unplugged.json)
  # The server reads nothing for 4 s while twenty nodes change: once it reads
  # again it receives every node's latest value, and the link goes on.
  pelko_bench_run(ServerStopsReadingThenGetsTheLatestValues
                  --scenario ${PROJECT_SOURCE_DIR}/tools/scenarios/server-stall.json)
  # Servers that end their messages with a line feed (pretty-printed over many
  # lines) or with nothing at all: the whole handshake and the commands served.
  pelko_bench_run(ServerEndsMessagesWithLineFeeds --scenario ${PROJECT_SOURCE_DIR}/tools/scenarios/framing-line-feed.json)
  pelko_bench_run(ServerEndsMessagesWithNothing --scenario ${PROJECT_SOURCE_DIR}/tools/scenarios/framing-none.json)
endif()
