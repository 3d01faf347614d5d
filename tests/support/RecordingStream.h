#ifndef PELKO_TEST_RECORDINGSTREAM_H
#define PELKO_TEST_RECORDINGSTREAM_H

#include <string>

// Records what the process writes to standard output (1) or standard error
// (2) while it lives. It works on the file descriptor, so C and C++ streams
// and every thread are caught. When the running test has failed by the time
// it ends, the record is copied to the real stream so nothing is hidden.
class RecordingStream {
public:
    explicit RecordingStream(int fd);
    ~RecordingStream();
    RecordingStream(const RecordingStream&) = delete;
    RecordingStream& operator=(const RecordingStream&) = delete;

    // Everything written since the recording began (streams flushed first).
    std::string text() const;

private:
    int fd_;
    int saved_ = -1;
    int file_ = -1;
};

#endif
