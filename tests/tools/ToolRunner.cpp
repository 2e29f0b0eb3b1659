#include "ToolRunner.h"

#include <cstring>
#include <fstream>
#include <random>
#include <sstream>
#include <thread>

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>
#include <sndfile.h>

extern char** environ;

namespace tooltest {

std::string ToolPath() { return VARDELL_TOOL; }

TempDir::TempDir()
{
    std::random_device random;
    dir = std::filesystem::temp_directory_path() /
          ("vardell-tool-test-" + std::to_string(getpid()) + "-" + std::to_string(random()));
    std::filesystem::create_directories(dir);
}

TempDir::~TempDir()
{
    std::error_code ignored;
    std::filesystem::remove_all(dir, ignored);
}

Child::Child(const std::vector<std::string>& args)
{
    std::vector<std::string> all{ToolPath()};
    all.insert(all.end(), args.begin(), args.end());
    std::vector<char*> argv;
    for (std::string& a : all)
        argv.push_back(a.data());
    argv.push_back(nullptr);

    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
    posix_spawn_file_actions_addopen(&actions, 1, dir.Path("out").c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    posix_spawn_file_actions_addopen(&actions, 2, dir.Path("err").c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    // The child must start with SIGINT/SIGTERM unblocked and at their defaults,
    // whatever the test runner did.
    posix_spawnattr_t attr;
    posix_spawnattr_init(&attr);
    sigset_t none, defaults;
    sigemptyset(&none);
    sigemptyset(&defaults);
    sigaddset(&defaults, SIGINT);
    sigaddset(&defaults, SIGTERM);
    posix_spawnattr_setsigmask(&attr, &none);
    posix_spawnattr_setsigdefault(&attr, &defaults);
    posix_spawnattr_setflags(&attr, POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF);
    const int error = posix_spawn(&pid, argv[0], &actions, &attr, argv.data(), environ);
    posix_spawnattr_destroy(&attr);
    posix_spawn_file_actions_destroy(&actions);
    if (error != 0) {
        pid = -1;
        ADD_FAILURE() << "cannot start " << argv[0] << ": " << std::strerror(error);
    }
}

Child::~Child()
{
    if (pid > 0 && status < 0) {
        kill(pid, SIGKILL);
        waitpid(pid, nullptr, 0);
    }
}

std::string Child::Out() const { return ReadFile(dir.Path("out")); }
std::string Child::Err() const { return ReadFile(dir.Path("err")); }

void Child::Signal(int signal) const
{
    if (pid > 0 && status < 0)
        kill(pid, signal);
}

bool Child::Wait(std::chrono::milliseconds timeout)
{
    if (pid <= 0)
        return true;
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    while (status < 0) {
        int raw = 0;
        const pid_t done = waitpid(pid, &raw, WNOHANG);
        if (done == pid) {
            status = WIFEXITED(raw) ? WEXITSTATUS(raw) : 128 + WTERMSIG(raw);
            break;
        }
        if (std::chrono::steady_clock::now() > deadline)
            return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    return true;
}

Result RunTool(const std::vector<std::string>& args, std::chrono::milliseconds timeout)
{
    Child child(args);
    Result result;
    if (!child.Wait(timeout)) {
        ADD_FAILURE() << "vardell did not finish within " << timeout.count() << " ms";
        return result;
    }
    result.status = child.Status();
    result.out = child.Out();
    result.err = child.Err();
    return result;
}

std::vector<std::string> Lines(const std::string& text)
{
    std::vector<std::string> lines;
    std::istringstream stream(text);
    for (std::string line; std::getline(stream, line);)
        lines.push_back(line);
    return lines;
}

void WriteSound(const std::string& path, const std::vector<std::int16_t>& mono, int rate, int channels, int format)
{
    SF_INFO info{};
    info.samplerate = rate;
    info.channels = channels;
    info.format = format;
    SNDFILE* file = sf_open(path.c_str(), SFM_WRITE, &info);
    ASSERT_NE(file, nullptr) << sf_strerror(nullptr);
    std::vector<std::int16_t> frames;
    for (std::int16_t s : mono)
        frames.insert(frames.end(), static_cast<std::size_t>(channels), s);
    EXPECT_EQ(sf_writef_short(file, frames.data(), static_cast<sf_count_t>(mono.size())),
              static_cast<sf_count_t>(mono.size()));
    EXPECT_EQ(sf_close(file), 0);
}

std::string ReadFile(const std::string& path)
{
    std::ifstream file(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(file), {});
}

}  // namespace tooltest
