// Command reader: '*' or '#' starts a command, other keys extend it; every
// well-formed text is reported as it grows. A text longer than 21
// characters or a gap of more than 30 s between keys abandons the command.
#include "CommandReader.h"

#include <ctime>
#include <utility>

namespace {

constexpr std::size_t kMaxLength = 21;  // the start key and 20 more
constexpr long long kMaxGapSeconds = 30;

// now - then > limit, exact for any two readings (a fake clock may be wild).
bool GapExceeds(long long now, long long then, long long limit)
{
    return now > then && static_cast<unsigned long long>(now) - static_cast<unsigned long long>(then) >
                             static_cast<unsigned long long>(limit);
}

}  // namespace

CommandReader::CommandReader(HWND h) : CommandReader(h, nullptr) {}

// A window that is gone makes the send fail, which changes nothing here.
CommandReader::CommandReader(HWND h, Clock c)
    : CommandReader([h](const char* text) { SendMessageA(h, WM_DTMFCOMMAND, reinterpret_cast<WPARAM>(text), 0); },
                    std::move(c))
{
}

CommandReader::CommandReader(TextSink s, Clock c) : sink(std::move(s)), lastKeyTime(0), clock(std::move(c))
{
    if (!clock)
        clock = [] { return static_cast<long long>(std::time(nullptr)); };
}

CommandReader::~CommandReader() = default;

void CommandReader::ProcessChar(char key)
{
    const long long now = clock();
    if (key == '#' || key == '*') {
        command.assign(1, key);
    } else if (command.size() >= kMaxLength) {
        command.assign(1, key);  // too long: abandoned, whatever the clock says
    } else {
        // A clock set back (negative gap) keeps the text.
        if (GapExceeds(now, lastKeyTime, kMaxGapSeconds))
            command.clear();
        command += key;
    }
    lastKeyTime = now;
    if (Valid())
        Ping();
}

bool CommandReader::Valid()
{
    return !command.empty() && (command[0] == '#' || command[0] == '*');
}

void CommandReader::Ping()
{
    if (sink)
        sink(command.c_str());
}
