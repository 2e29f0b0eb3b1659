// Runs the vardell binary as a child process, its output and errors in files.
#pragma once

#include <filesystem>
#include <fstream>
#include <sstream>

#include <fcntl.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>
#include <sndfile.h>

#include "../monitor/MonitorSupport.h"

namespace tooltest {

using montest::WaitUntil;
using namespace std::chrono_literals;
using Args = std::vector<std::string>;

inline Args Lines(const std::string& text, char end = '\n')
{
    Args lines;
    std::istringstream stream(text);
    for (std::string line; std::getline(stream, line, end);)
        lines.push_back(line);
    return lines;
}

inline std::string ReadFile(const std::string& path)
{
    std::ifstream file(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(file), {});
}

// A fresh directory, removed with its contents at destruction.
struct TempDir {
    std::filesystem::path dir = [] {
        std::string name = (std::filesystem::temp_directory_path() / "vardell-tool-XXXXXX").string();
        return std::filesystem::path(mkdtemp(name.data()));
    }();
    ~TempDir() { std::filesystem::remove_all(dir); }
    std::string Path(const std::string& name) const { return (dir / name).string(); }
};

struct Result {
    int status = -1;  // exit status, or 128 + signal
    std::string out, err;
};

// A running vardell, its input /dev/null or `input`; killed if still running at destruction.
class Child {
public:
    explicit Child(Args args, int input = -1)
    {
        std::vector<char*> argv{const_cast<char*>(VARDELL_TOOL)};
        for (std::string& a : args)
            argv.push_back(a.data());
        argv.push_back(nullptr);
        const std::string out = dir.Path("out"), err = dir.Path("err");
        if ((pid = fork()) == 0) {  // only async-signal-safe calls until exec
            sigset_t none;          // SIGINT/SIGTERM unblocked and at their defaults, whatever the runner did
            sigemptyset(&none);
            sigprocmask(SIG_SETMASK, &none, nullptr);
            signal(SIGINT, SIG_DFL), signal(SIGTERM, SIG_DFL);
            dup2(input >= 0 ? input : open("/dev/null", O_RDONLY), 0);
            dup2(open(out.c_str(), O_WRONLY | O_CREAT, 0600), 1);
            dup2(open(err.c_str(), O_WRONLY | O_CREAT, 0600), 2);
            execv(argv[0], argv.data()), _exit(127);
        }
        EXPECT_GT(pid, 0) << "cannot start " << argv[0];
    }
    ~Child()
    {
        if (pid > 0 && result.status < 0)
            kill(pid, SIGKILL), waitpid(pid, nullptr, 0);
    }
    std::string Out() const { return ReadFile(dir.Path("out")); }
    std::string Err() const { return ReadFile(dir.Path("err")); }
    void Signal(int signal) const { EXPECT_TRUE(pid > 0 && kill(pid, signal) == 0); }
    // False when `limit` passed first (the limits only guard against hangs).
    bool Wait(std::chrono::milliseconds limit = 60s)
    {
        return WaitUntil(
            [&] {
                int raw = 0;
                if (result.status < 0 && waitpid(pid, &raw, WNOHANG) == pid)
                    result = {WIFEXITED(raw) ? WEXITSTATUS(raw) : 128 + WTERMSIG(raw), Out(), Err()};
                return result.status >= 0;
            },
            limit);
    }
    Result result;

private:
    TempDir dir;
    pid_t pid = -1;
};

inline Result RunTool(const Args& args)
{
    Child child(args);
    EXPECT_TRUE(child.Wait()) << "vardell did not finish";
    return child.result;
}

// What a shell command prints on standard output, and its exit status.
inline Result Shell(const std::string& command)
{
    Result result;
    FILE* pipe = popen(command.c_str(), "r");
    char buffer[4096];
    for (std::size_t n; (n = std::fread(buffer, 1, sizeof buffer, pipe)) > 0;)
        result.out.append(buffer, n);
    const int status = pclose(pipe);
    result.status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    return result;
}

// Writes one signal per channel (equal lengths) in any libsndfile format.
inline void WriteChannels(const std::string& path, const std::vector<std::vector<std::int16_t>>& channels, int rate,
                          int format = SF_FORMAT_WAV | SF_FORMAT_PCM_16)
{
    SF_INFO info{0, rate, int(channels.size()), format, 0, 0};
    SNDFILE* file = sf_open(path.c_str(), SFM_WRITE, &info);
    ASSERT_NE(file, nullptr) << sf_strerror(nullptr);
    std::vector<std::int16_t> frames;
    for (std::size_t i = 0; i < channels[0].size(); ++i)
        for (const auto& channel : channels)
            frames.push_back(channel[i]);
    EXPECT_EQ(sf_write_short(file, frames.data(), sf_count_t(frames.size())), sf_count_t(frames.size()));
    EXPECT_EQ(sf_close(file), 0);
}

}  // namespace tooltest
