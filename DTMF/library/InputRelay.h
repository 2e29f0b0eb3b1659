// Hands a pipe on to libsndfile after the library has read its first bytes
// itself (to see whether it could stream the samples): a thread writes those
// bytes, then the rest of the input, into a socket that libsndfile reads as it
// would read the pipe. Internal to the library.
#pragma once

#include <string>
#include <thread>

class InputRelay {
public:
    // `source` stays open and owned by the caller. On failure `error` says why.
    InputRelay(std::string consumed, int source, std::string& error);
    // Closes the reading end first, so that a relay waiting for its input stops.
    ~InputRelay();
    InputRelay(const InputRelay&) = delete;
    InputRelay& operator=(const InputRelay&) = delete;

    // What libsndfile reads; -1 on failure.
    int ReadEnd() const { return readEnd; }

private:
    void Run(std::string consumed, int source);

    int readEnd = -1, writeEnd = -1;
    std::thread thread;
};
