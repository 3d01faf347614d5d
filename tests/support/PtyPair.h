#ifndef PELKO_TEST_PTYPAIR_H
#define PELKO_TEST_PTYPAIR_H

#include <string>
#include <vector>

// A pseudo-terminal pair standing in for the bus: the code under test opens
// slavePath() as its serial device; the test plays the line on master(),
// which is raw (no echo, no translation) and non-blocking.
class PtyPair {
public:
    PtyPair();
    ~PtyPair();
    PtyPair(const PtyPair&) = delete;
    PtyPair& operator=(const PtyPair&) = delete;

    int master() const { return master_; }
    const std::string& slavePath() const { return slavePath_; }
    void writeMaster(const std::vector<unsigned char>& bytes) const;
    // What arrives on the master side within timeoutMs, until quiet for quietMs.
    std::vector<unsigned char> readMaster(int timeoutMs, int quietMs = 20) const;

private:
    int master_ = -1;
    int slaveKeep_ = -1;  // keeps the slave side alive between opens
    std::string slavePath_;
};

#endif
