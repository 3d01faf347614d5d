// End-to-end: the real gateway under the bench simulator, one scenario of
// tools/scenarios per case, each ended by SIGTERM. A scenario passes only
// when every step passed; the simulator's summary says which did not.
#include <gtest/gtest.h>

#include <regex>

#include "ChildProcess.h"

namespace {

// pelko-sim's status; its output in `out`. Generous limit for sanitizer builds.
int simulate(const std::string& scenario, std::string& out) {
    TempDir cwd;
    const std::string file = std::string(PELKO_SOURCE_DIR) + "/tools/scenarios/" + scenario + ".json";
    std::string err;
    const int status = runProgram(PELKO_SIM_BINARY, {"--scenario", file, "--gateway", PELKO_BINARY, "--full"}, cwd.path(), &out, &err, 180000);
    out += err;
    return status;
}

class Scenario : public ::testing::TestWithParam<std::string> {};

}  // namespace

TEST_P(Scenario, PassesEveryStep) {
    std::string out;
    EXPECT_EQ(simulate(GetParam(), out), 0) << out;
}

// The default scenario is the gateway's whole job, discovery's 8 s window included.
INSTANTIATE_TEST_SUITE_P(e2e, Scenario,
    ::testing::Values("default", "server-closes", "stream-framing", "big-node-list", "invalid-json", "no-serial-device",
                      "bus-faults", "config-missing", "config-missing-keys", "server-unreachable"),
    [](const auto& info) { return std::regex_replace(info.param, std::regex("-"), "_"); });
