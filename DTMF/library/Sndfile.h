// libsndfile's handles and reasons, as the library's readers and writers use
// them. Internal to the library.
#pragma once

#include <memory>
#include <mutex>
#include <string>

#include <sndfile.h>

struct SndfileCloser {
    void operator()(SNDFILE* file) const { sf_close(file); }
};
using SndfilePtr = std::unique_ptr<SNDFILE, SndfileCloser>;

// libsndfile's reason for the last failure on `file` (null: of an open), without
// the full stop that the tool's lines do not have.
inline std::string SndfileReason(SNDFILE* file)
{
    std::string reason = sf_strerror(file);
    while (!reason.empty() && (reason.back() == '.' || reason.back() == ' ' || reason.back() == '\n'))
        reason.pop_back();
    return reason;
}

// libsndfile keeps the reason of a failed open in globals: opens on several
// threads at once take turns, each reading its own reason.
inline std::mutex& SndfileOpening()
{
    static std::mutex turns;
    return turns;
}
