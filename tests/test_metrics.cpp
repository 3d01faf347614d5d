// The metrics file: Prometheus text that promtool (Debian's prometheus
// package) accepts, carrying the bus master's own counters, replaced whole
// and readable by the exporter, and a write failure said once.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <chrono>
#include <string>

#include "Builders.h"
#include "ChildProcess.h"
#include "ForkedCall.h"
#include "GatewayView.h"
#include "MetricsWriter.h"
#include "NodeHealth.h"
#include "TempDir.h"

namespace {

using namespace std::chrono_literals;

// The gateway's view with two polled read nodes (17 answering, 18 failing),
// a write node and a removed node, after 3 passes.
void feed(GatewayView& view, NodeHealth& health) {
    view.watchHealth(&health);
    const DeviceType reads = makeType(1, DeviceType::R, DeviceType::NOW, 1, 12);
    for (unsigned short address : {17, 18, 19}) {
        Node node = makeNode(address, reads, 1);
        view.nodeFiled(node);
    }
    Node relay = makeNode(32, makeType(2, DeviceType::W, DeviceType::NOW, 1, 1), 4);
    view.nodeFiled(relay);
    view.nodeRemoved(19);
    const auto now = NodeHealth::Clock::now();
    for (int pass = 0; pass < 3; ++pass) {
        health.record(17, NodeHealth::Reply::valid, 2000us, now);
        health.record(18, pass == 0 ? NodeHealth::Reply::valid : NodeHealth::Reply::missing, 1500us, now);
        health.record(19, NodeHealth::Reply::valid, 1000us, now);
        health.countPass();
    }
    health.countBytes(123456789012, 42);
    view.serverUp();
    view.busStarted(true);
    view.lineLost(true);
    view.lineLost(false);
}

TEST(Metrics, FilePassesPromtoolAndCarriesTheBusMastersCounters) {
    GatewayView view;
    NodeHealth health;
    feed(view, health);
    TempDir dir;
    const std::string file = dir.file("pelko-hall.prom");
    // The service's umask keeps files to their owner; the exporter runs as another user.
    const mode_t before = umask(077);
    EXPECT_TRUE(MetricsWriter(file, "hall").write(view.snapshot()));
    umask(before);
    struct stat info {};
    ASSERT_EQ(stat(file.c_str(), &info), 0);
    EXPECT_EQ(info.st_mode & 0777, 0644u);
    EXPECT_FALSE(dir.exists("pelko-hall.prom.tmp"));

    const std::string text = dir.read("pelko-hall.prom");
    for (const char* line : {
             "pelko_bus_passes_total{bus=\"hall\"} 3\n",
             "pelko_bus_sent_bytes_total{bus=\"hall\"} 123456789012\n",
             "pelko_bus_serial_losses_total{bus=\"hall\"} 1\n",
             "pelko_node_requests_total{bus=\"hall\",node=\"18\"} 3\n",
             "pelko_node_replies_total{bus=\"hall\",node=\"18\",result=\"missing\"} 2\n",
             "pelko_node_replies_total{bus=\"hall\",node=\"17\",result=\"valid\"} 3\n",
             "pelko_node_answering{bus=\"hall\",node=\"17\"} 1\n",
             "pelko_node_answering{bus=\"hall\",node=\"18\"} 0\n",
             "pelko_node_reply_seconds{bus=\"hall\",node=\"17\",quantile=\"0.5\"} 0.002\n",
             "pelko_node_reply_seconds_sum{bus=\"hall\",node=\"17\"} 0.006\n",
             "pelko_node_reply_seconds_count{bus=\"hall\",node=\"17\"} 3\n",
             "pelko_nodes{bus=\"hall\",state=\"written\"} 1\n",
             "pelko_nodes{bus=\"hall\",state=\"removed\"} 1\n",
             "pelko_server_connected{bus=\"hall\"} 1\n",
         }) {
        EXPECT_NE(text.find(line), std::string::npos) << line << text;
    }
    EXPECT_EQ(text.find("node=\"19\""), std::string::npos) << "a removed node's series go";

    std::string out, err;
    if (runProgram("/bin/sh", {"-c", "command -v promtool"}, dir.path(), &out, &err) != 0) {
        GTEST_SKIP() << "promtool not installed (Debian package prometheus, scripts/deps.sh test)";
    }
    EXPECT_EQ(runProgram("/bin/sh", {"-c", "promtool check metrics < pelko-hall.prom"}, dir.path(), &out, &err), 0)
        << out << err;
}

TEST(Metrics, UnwritableDirectoryIsSaidOnceAndItsRecoveryOnce) {
    TempDir dir;
    const ForkedResult run = runForked([&dir] {
        GatewayView view;
        MetricsWriter writer(dir.file("missing/pelko.prom"), "pelko");
        for (int i = 0; i < 3; ++i) writer.write(view.snapshot());
        mkdir(dir.file("missing").c_str(), 0755);
        for (int i = 0; i < 2; ++i) writer.write(view.snapshot());
    });
    EXPECT_EQ(run.status, 0);
    EXPECT_EQ(run.err, "Metrics not written: " + dir.file("missing/pelko.prom.tmp") + ": No such file or directory\n");
    EXPECT_EQ(run.out, "Metrics written again to " + dir.file("missing/pelko.prom") + "\n");
    EXPECT_TRUE(dir.exists("missing/pelko.prom"));
}

}  // namespace
