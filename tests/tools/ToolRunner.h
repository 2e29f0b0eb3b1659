// Runs the vardell binary as a child process for the tests, with its standard
// output and error captured in files.
#pragma once

#include <chrono>
#include <cstdint>
#include <filesystem>
#include <string>
#include <vector>

#include <sys/types.h>

namespace tooltest {

std::string ToolPath();

// A fresh directory, removed with everything in it at destruction.
class TempDir {
public:
    TempDir();
    ~TempDir();
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;
    std::string Path(const std::string& name) const { return (dir / name).string(); }

private:
    std::filesystem::path dir;
};

struct Result {
    int status = -1;  // exit status, or 128 + signal
    std::string out;
    std::string err;
};

// A running vardell; killed (SIGKILL) if still running at destruction.
class Child {
public:
    explicit Child(const std::vector<std::string>& args);
    ~Child();
    Child(const Child&) = delete;
    Child& operator=(const Child&) = delete;

    std::string Out() const;
    std::string Err() const;
    void Signal(int signal) const;
    // Waits for the exit; false when `timeout` passed first (the child then runs on).
    bool Wait(std::chrono::milliseconds timeout);
    int Status() const { return status; }

private:
    TempDir dir;
    pid_t pid = -1;
    int status = -1;
};

// Runs vardell to its end; a hang beyond the generous timeout fails the test.
Result RunTool(const std::vector<std::string>& args, std::chrono::milliseconds timeout = std::chrono::seconds(60));

std::vector<std::string> Lines(const std::string& text);
// Writes samples with libsndfile in any format it offers, every channel the same signal.
void WriteSound(const std::string& path, const std::vector<std::int16_t>& mono, int rate, int channels, int format);
std::string ReadFile(const std::string& path);

}  // namespace tooltest
