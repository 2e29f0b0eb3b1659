// Numbered jobs run on a few threads, what each prints written in the jobs'
// order, as if they had run one after another: the earliest unfinished job
// writes straight through (so one live input is printed as it comes), the others
// are held until every job before them is done. Commands with -j use it.
//
//     int status = tool::RunInOrder(files.size(), jobs, [&](std::size_t i, tool::JobOutput& out) {
//         out.Print(files[i] + ": done\n");
//         return tool::kExitDone;
//     });
//
// Threads: jobs run on worker threads and on the calling thread (only there for one
// worker); a JobOutput belongs to its job's thread.
#pragma once

#include <cstddef>
#include <functional>
#include <string_view>

#include "Options.h"

namespace tool {

class OrderedPrinter;

class JobOutput {
public:
    JobOutput(OrderedPrinter& printer, std::size_t job) : printer(printer), job(job) {}
    void Print(std::string_view text);     // standard output
    void Complain(std::string_view text);  // standard error
    // As tool::Fail, in the job's order.
    int Fail(std::string_view message, int status = kExitBadInput);
    // Each line printed from now on reaches standard output at once, while the job is
    // the one printing (a live input); otherwise lines go out at the end of the job.
    void Live() { live = true; }

private:
    OrderedPrinter& printer;
    std::size_t job;
    bool live = false;
};

// Returns the job's exit status.
using Job = std::function<int(std::size_t job, JobOutput& output)>;

// Runs jobs 0 to count - 1, `workers` at once (0: one per core); the highest of
// their statuses, 0 for none. A job that throws has failed with kExitRuntime.
int RunInOrder(std::size_t count, unsigned workers, const Job& job);

}  // namespace tool
