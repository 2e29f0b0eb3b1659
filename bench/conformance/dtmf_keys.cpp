// Prints the keys that Vardell's detector finds in raw 16-bit mono 11025 Hz
// samples on standard input (--times: one "seconds key" line each): the
// conformance runner's driver.
//
//   dtmf_keys [--strict] [--times] [--limit NAME=VALUE]... < samples.raw
//
// --limit widens or narrows one of the strict limits (StrictLimits' member
// names), so that the runner can measure what each check contributes.
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <string_view>
#include <vector>

#include "KeyDetector.h"
#include "FFT.h"
#include "StrictDetector.h"

namespace {

bool SetLimit(StrictLimits& limits, std::string_view arg)
{
    const auto eq = arg.find('=');
    if (eq == std::string_view::npos)
        return false;
    const std::string_view name = arg.substr(0, eq);
    const double value = std::atof(std::string(arg.substr(eq + 1)).c_str());
    struct Field {
        const char* name;
        double StrictLimits::*member;
    };
    static const Field fields[] = {
        {"maxDeviation", &StrictLimits::maxDeviation},
        {"maxDriftHz", &StrictLimits::maxDriftHz},
        {"minToneDbfs", &StrictLimits::minToneDbfs},
        {"maxColumnAboveRowDb", &StrictLimits::maxColumnAboveRowDb},
        {"maxRowAboveColumnDb", &StrictLimits::maxRowAboveColumnDb},
        {"neighbourCapDb", &StrictLimits::neighbourCapDb},
        {"bandCapDb", &StrictLimits::bandCapDb},
        {"harmonicCapDb", &StrictLimits::harmonicCapDb},
        {"minClarityDb", &StrictLimits::minClarityDb},
        {"minRiseDb", &StrictLimits::minRiseDb},
        {"minToneMs", &StrictLimits::minToneMs},
        {"releaseDropDb", &StrictLimits::releaseDropDb},
    };
    for (const Field& f : fields)
        if (name == f.name) {
            limits.*f.member = value;
            return true;
        }
    return false;
}

struct Printer {
    bool times = false;
    long block = 0;
    void ProcessChar(char key)
    {
        if (times)
            std::printf("%.3f %c\n", (block + 1) * 256 / 11025.0, key);
        else
            std::putchar(key);
    }
};

}  // namespace

int main(int argc, char** argv)
{
    bool strict = false;
    StrictLimits limits;
    Printer printer;
    for (int i = 1; i < argc; ++i) {
        if (std::strcmp(argv[i], "--strict") == 0)
            strict = true;
        else if (std::strcmp(argv[i], "--times") == 0)
            printer.times = true;
        else if (std::strcmp(argv[i], "--limit") == 0 && i + 1 < argc && SetLimit(limits, argv[i + 1]))
            ++i;
        else {
            std::fprintf(stderr, "usage: dtmf_keys [--strict] [--times] [--limit NAME=VALUE]... < samples.raw\n");
            return 2;
        }
    }

    FFT fft(256);
    KeyDetector plain;
    StrictKeyDetector strictDetector(limits);
    short block[256], work[256];
    int spectrum[128];
    while (std::fread(block, sizeof block, 1, stdin) == 1) {
        if (strict) {
            if (char key = strictDetector.ProcessBlock(block, fft, work, spectrum, 6))
                printer.ProcessChar(key);
        } else {
            std::memcpy(work, block, sizeof block);
            fft.Run(work, spectrum);
            plain.ProcessBlock(spectrum, 6, printer);
        }
        ++printer.block;
    }
    std::putchar('\n');
    return 0;
}
