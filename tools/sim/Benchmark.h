#ifndef PELKO_SIM_BENCHMARK_H
#define PELKO_SIM_BENCHMARK_H

#include <ostream>
#include <string>
#include <vector>

// pelko-sim --bench: runs the real gateway against buses of 0, 1, 5, 20 and
// 100 read nodes (one 12-bit value each) plus one write node, with real line
// timing, and prints one table row per bus: the pass period against the
// protocol minimum, the latencies of DATA_SET to the set frame on the wire
// and of a node's change to DATA_GET at the server, the gateway's CPU time
// per wall second and its peak resident memory. It also draws one pass of
// the one-node bus as an SVG picture. The figures are measurements, never a
// verdict: the exit status only says whether every row could be measured.
class Benchmark {
public:
    struct Options {
        std::string gateway;
        bool quick = false;                       // fewer buses and trials: a few seconds, for CI
        std::string svgPath = "pelko-bench-pass.svg";
        int rtPriority = -1;                      // written to pelko.conf as rt_priority when >= 0
        // "metrics": control socket and metrics file on (written every second),
        // no client; "trace": the same with a client tracing every frame.
        std::string observe;
    };

    struct Row {
        int readNodes = 0;  // 0: the empty bus (no write node either)
        std::string problem;  // why the row could not be measured; empty when it was
        double periodUs = -1;
        double minimumUs = -1;
        std::vector<double> setLatencyUs;  // DATA_SET sent -> its set frame on the wire
        std::vector<double> getLatencyUs;  // node value changed -> DATA_GET at the server
        int trials = 0;
        double cpuPerSecond = -1;
        long peakKiB = -1;
        std::size_t pinLowFrames = 0;
    };

    // True when the command line asks for the benchmark (--bench anywhere).
    static bool requested(int argc, char** argv);
    // Reads the benchmark's own command line and runs it. Exit status: 0
    // every row measured, 1 a row could not be, 2 bad arguments.
    static int main(int argc, char** argv, const std::string& defaultGateway);

    Benchmark(Options options, std::ostream& out, std::ostream& progress);
    int run();

private:
    Row measure(int readNodes, bool draw);
    void printTable(const std::vector<Row>& rows) const;

    Options options_;
    std::ostream& out_;
    std::ostream& progress_;
};

#endif
