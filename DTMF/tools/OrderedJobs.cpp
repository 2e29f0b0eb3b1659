#include "OrderedJobs.h"

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <exception>
#include <mutex>
#include <string>
#include <thread>
#include <utility>
#include <vector>

namespace tool {

class OrderedPrinter {
public:
    explicit OrderedPrinter(std::size_t jobs) : held(jobs) {}

    void Write(std::size_t job, FILE* stream, std::string_view text, bool now)
    {
        const std::lock_guard guard(lock);
        if (job == head) {
            Put(stream, text);
            if (now)
                std::fflush(stream);
            return;
        }
        auto& pieces = held[job].pieces;
        if (pieces.empty() || pieces.back().first != stream)
            pieces.emplace_back(stream, std::string());
        pieces.back().second += text;
    }

    // The job has printed all it will; the jobs after it that are done too follow it out.
    void Finish(std::size_t job)
    {
        const std::lock_guard guard(lock);
        held[job].done = true;
        std::fflush(stdout);
        while (head < held.size() && held[head].done)
            if (++head < held.size())
                for (const auto& [stream, text] : std::exchange(held[head].pieces, {}))
                    Put(stream, text);
    }

private:
    struct Held {
        std::vector<std::pair<FILE*, std::string>> pieces;  // in the order printed
        bool done = false;
    };

    // Standard output is flushed at the end of each job, or of each line a live job asks
    // for, and before anything goes to standard error, which must not overtake it.
    static void Put(FILE* stream, std::string_view text)
    {
        if (stream == stderr)
            std::fflush(stdout);
        std::fwrite(text.data(), 1, text.size(), stream);
    }

    std::mutex lock;
    std::vector<Held> held;
    std::size_t head = 0;  // the job that writes straight through
};

void JobOutput::Print(std::string_view text)
{
    printer.Write(job, stdout, text, live);
}

void JobOutput::Complain(std::string_view text)
{
    printer.Write(job, stderr, text, true);
}

int JobOutput::Fail(std::string_view message, int status)
{
    Complain("vardell: " + std::string(message) + "\n");
    return status;
}

int RunInOrder(std::size_t count, unsigned workers, const Job& job)
{
    if (workers == 0)
        workers = std::max(1u, std::thread::hardware_concurrency());
    OrderedPrinter printer(count);
    std::vector<int> statuses(count, kExitDone);
    std::atomic<std::size_t> next{0};
    const auto work = [&] {
        for (std::size_t i; (i = next++) < count;) {
            JobOutput output(printer, i);
            try {
                statuses[i] = job(i, output);
            } catch (const std::exception& e) {
                statuses[i] = output.Fail(e.what(), kExitRuntime);
            }
            printer.Finish(i);
        }
    };
    std::vector<std::thread> threads;
    for (std::size_t k = 1; k < std::min<std::size_t>(workers, count); ++k)
        threads.emplace_back(work);
    work();
    for (auto& thread : threads)
        thread.join();
    return count == 0 ? kExitDone : *std::max_element(statuses.begin(), statuses.end());
}

}  // namespace tool
