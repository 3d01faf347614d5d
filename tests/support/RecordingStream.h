#ifndef PELKO_TEST_RECORDINGSTREAM_H
#define PELKO_TEST_RECORDINGSTREAM_H

#include <string>

// Records what the process writes to standard output (1) or standard error
// (2) while it lives, at the descriptor, so C and C++ streams and every
// thread are caught. If the running test has failed when it ends, the record
// goes on to the real stream so that nothing is hidden.
class RecordingStream {
public:
    explicit RecordingStream(int fd);
    ~RecordingStream();
    RecordingStream(const RecordingStream&) = delete;
    RecordingStream& operator=(const RecordingStream&) = delete;

    std::string text() const;  // everything written so far
    // What was written after the first `mark` characters.
    std::string since(std::size_t mark) const { return text().substr(mark); }

private:
    int fd_;
    int saved_ = -1;
    int file_ = -1;
};

#endif
