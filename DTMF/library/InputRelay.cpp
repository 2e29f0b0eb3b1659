#include "InputRelay.h"

#include <cerrno>
#include <cstring>

#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

namespace {

// Writes all of it; false once the reader has gone (no SIGPIPE: the tool may be
// reading a pipe on behalf of a caller that does not expect one).
bool SendAll(int socket, const char* bytes, std::size_t count)
{
    while (count > 0) {
        const ssize_t sent = send(socket, bytes, count, MSG_NOSIGNAL);
        if (sent < 0 && errno == EINTR)
            continue;
        if (sent <= 0)
            return false;
        bytes += sent, count -= static_cast<std::size_t>(sent);
    }
    return true;
}

}  // namespace

InputRelay::InputRelay(std::string consumed, int source, std::string& error)
{
    int ends[2];
    if (socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, ends) != 0) {
        error = std::strerror(errno);
        return;
    }
    readEnd = ends[0], writeEnd = ends[1];
    thread = std::thread(&InputRelay::Run, this, std::move(consumed), source);
}

InputRelay::~InputRelay()
{
    if (readEnd >= 0)
        close(readEnd);
    if (thread.joinable())
        thread.join();
    if (writeEnd >= 0)
        close(writeEnd);
}

void InputRelay::Run(std::string consumed, int source)
{
    if (!SendAll(writeEnd, consumed.data(), consumed.size()))
        return;
    char buffer[1 << 16];
    for (;;) {
        // The input, or the reader closing its end (POLLHUP), whichever comes first.
        pollfd waits[2] = {{source, POLLIN, 0}, {writeEnd, 0, 0}};
        if (poll(waits, 2, -1) < 0) {
            if (errno == EINTR)
                continue;
            break;
        }
        if (waits[1].revents != 0)
            break;
        const ssize_t got = read(source, buffer, sizeof buffer);
        if (got < 0 && (errno == EINTR || errno == EAGAIN))
            continue;
        if (got <= 0 || !SendAll(writeEnd, buffer, static_cast<std::size_t>(got)))
            break;
    }
    shutdown(writeEnd, SHUT_WR);  // the end of the input, as libsndfile would have seen it
}
