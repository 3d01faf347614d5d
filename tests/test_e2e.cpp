// End-to-end: the real gateway binary under the bench simulator, one
// scenario per case (tools/scenarios). A scenario passes only when every one
// of its steps passed, so each test states the case and the simulator's
// summary says what went wrong.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "ChildProcess.h"
#include "TempDir.h"

#ifndef PELKO_SIM_BINARY
// Built without the bench (tools/bench missing): nothing to run against.
#define PELKO_SIM_BINARY ""
#endif

namespace {

struct SimRun {
    int status = -1;
    std::string out;
    std::string err;
};

std::string scenarioPath(const std::string& name) { return std::string(PELKO_SOURCE_DIR) + "/tools/scenarios/" + name; }

// Runs pelko-sim on a scenario against the gateway of this build. Generous
// limit: the sanitizer builds run several times slower.
SimRun simulate(const std::string& scenarioFile, const std::vector<std::string>& extra = {}) {
    if (std::string(PELKO_SIM_BINARY).empty()) {
        ADD_FAILURE() << "pelko-sim was not built (tools/bench missing)";
        return {};
    }
    TempDir cwd;
    SimRun r;
    std::vector<std::string> args = {"--scenario", scenarioFile, "--gateway", PELKO_BINARY};
    args.insert(args.end(), extra.begin(), extra.end());
    r.status = runProgram(PELKO_SIM_BINARY, args, cwd.path(), &r.out, &r.err, 180000);
    return r;
}

void expectPasses(const std::string& name) {
    const SimRun r = simulate(scenarioPath(name));
    EXPECT_EQ(r.status, 0) << "pelko-sim " << name << " failed:\n" << r.out << r.err;
    EXPECT_NE(r.out.find("Result: PASS"), std::string::npos) << r.out;
}

}  // namespace

// The whole job, discovery's 8 s listening window included (the one long test).
TEST(E2E, DefaultScenarioPassesEveryStepLong) {
    const SimRun r = simulate(scenarioPath("default.json"));
    EXPECT_EQ(r.status, 0) << r.out << r.err;
    // The live trace tells its sources apart.
    for (const char* column : {"gw -> srv", "srv -> gw", "gw -> bus", "bus -> gw", "gw says", "STEP"})
        EXPECT_NE(r.out.find(column), std::string::npos) << "no \"" << column << "\" lines in the trace";
    // Polls repeat many times a second; the trace shows them now and then with a count.
    EXPECT_NE(r.out.find("more like it)"), std::string::npos);
    EXPECT_EQ(r.out.find("FAIL"), std::string::npos) << r.out;
}

TEST(E2E, ServerClosingTheConnectionEndsTheGatewayWithAMessage) { expectPasses("server-closes.json"); }

TEST(E2E, MessagesSplitAcrossWritesAndSharingOneWriteAreAllTaken) { expectPasses("stream-framing.json"); }

TEST(E2E, HundredKilobyteNodeListIsTakenWhole) { expectPasses("big-node-list.json"); }

TEST(E2E, InvalidJsonIsReportedInTheHandshakeAndDroppedLater) { expectPasses("invalid-json.json"); }

TEST(E2E, MissingSerialDeviceReportsErrorOneAndKeepsServingTheServer) { expectPasses("no-serial-device.json"); }

TEST(E2E, GarbageBrokenChecksumsAndOverlongRepliesOnTheBus) { expectPasses("bus-faults.json"); }

TEST(E2E, MissingConfigurationFileEndsWithStatusOne) { expectPasses("config-missing.json"); }

TEST(E2E, MissingConfigurationKeysAreNamed) { expectPasses("config-missing-keys.json"); }

TEST(E2E, UnreachableServerEndsWithStatusZeroWithoutTouchingThePin) { expectPasses("server-unreachable.json"); }

// The bench's own judgement: every kind of unmet step fails the run, and the
// summary names it with the reason.
TEST(PelkoSim, UnmetStepsFailTheRunAndTheSummarySaysWhy) {
    const SimRun r = simulate(scenarioPath("impossible.json"), {"--quiet"});
    EXPECT_EQ(r.status, 1) << r.out << r.err;
    for (const char* line : {
             "  PASS  handshake",
             "  FAIL  ghost node 99 reported  (seen 0 of 1 times needed)",
             "  FAIL  thermometer never reported  (seen ",  // ... times, at most 0 allowed
             "  FAIL  PING answered in no time  (took ",
             "  FAIL  a step waiting for the ghost  (never checked: \"ghost\" did not happen)",
             "  FAIL  pin never exported  (the pin was exported)",
             "  FAIL  gateway stops with status 3  (SIGTERM at ",
             "  FAIL  at least a million frames checked for the pin  (",  // ... frames from the gateway checked
             "Result: FAIL, 1 of 8 steps passed",
         })
        EXPECT_NE(r.out.find(line), std::string::npos) << "missing: " << line << "\n" << r.out;
    // --quiet leaves only the summary: no trace lines.
    EXPECT_EQ(r.out.find("gw -> srv"), std::string::npos) << r.out;
}

TEST(PelkoSim, BrokenScenarioIsRefusedNamingFileAndProblem) {
    TempDir dir;
    dir.write("typo.json", R"({"types": [], "nodes": [{"address": 5, "type": 1, "channel_count": 1}]})");
    SimRun r = simulate(dir.file("typo.json"));
    EXPECT_EQ(r.status, 2);
    EXPECT_NE(r.err.find(dir.file("typo.json")), std::string::npos) << r.err;
    EXPECT_NE(r.err.find("type 1 is not in \"types\""), std::string::npos) << r.err;

    dir.write("unknown.json", R"({"expect": [{"id": "a", "console": "x", "after": "nothing"}]})");
    r = simulate(dir.file("unknown.json"));
    EXPECT_EQ(r.status, 2);
    EXPECT_NE(r.err.find("unknown id \"nothing\""), std::string::npos) << r.err;

    r = simulate(dir.file("absent.json"));
    EXPECT_EQ(r.status, 2);
    EXPECT_NE(r.err.find("cannot be read"), std::string::npos) << r.err;
}
