// End-to-end: the real gateway under the bench simulator, one scenario of
// tools/scenarios per case. A scenario passes only when every step passed;
// the simulator's summary says which did not.
#include <gtest/gtest.h>

#include "ChildProcess.h"

#ifndef PELKO_SIM_BINARY
#define PELKO_SIM_BINARY ""  // built without the bench: every case fails
#endif

namespace {

// pelko-sim's status and output; generous limit for sanitizer builds.
int simulate(const std::string& scenario, std::string& out, const std::string& extra = "--full") {
    TempDir cwd;
    std::string err;
    const int status = runProgram(PELKO_SIM_BINARY, {"--scenario", std::string(PELKO_SOURCE_DIR) + "/tools/scenarios/" + scenario,
                                                    "--gateway", PELKO_BINARY, extra}, cwd.path(), &out, &err, 180000);
    out += err;
    return status;
}

class Scenario : public ::testing::TestWithParam<std::string> {};

}  // namespace

TEST_P(Scenario, PassesEveryStep) {
    std::string out;
    EXPECT_EQ(simulate(GetParam() + ".json", out), 0) << out;
    EXPECT_NE(out.find("Result: PASS"), std::string::npos) << out;
}

// The default scenario is the gateway's whole job, discovery's 8 s window included.
INSTANTIATE_TEST_SUITE_P(E2E, Scenario,
    ::testing::Values("default", "server-closes", "stream-framing", "big-node-list", "invalid-json", "no-serial-device",
                      "bus-faults", "config-missing", "config-missing-keys", "server-unreachable"),
    [](const auto& info) {
        std::string name = info.param;
        name.erase(std::remove(name.begin(), name.end(), '-'), name.end());
        return name;
    });

// The bench's own judgement: unmet steps fail the run, and the summary says why.
TEST(PelkoSim, UnmetStepsFailTheRun) {
    std::string out;
    EXPECT_EQ(simulate("impossible.json", out, "--quiet"), 1) << out;
    for (const char* line : {"  PASS  handshake", "  FAIL  ghost node 99 reported  (seen 0 of 1 times needed)",
                             "  FAIL  a step waiting for the ghost  (never checked: \"ghost\" did not happen)",
                             "Result: FAIL, 1 of 8 steps passed"})
        EXPECT_NE(out.find(line), std::string::npos) << "missing: " << line << "\n" << out;
}
