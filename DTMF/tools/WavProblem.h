// Why a WAV file will not load into CWave, found by looking at the file itself;
// CWave answers only success or failure.
#pragma once

#include <string>

namespace tool {

// The reason as a phrase for "<path>: <reason>" ("is a directory", "format tag
// 0xFFFE (extensible) is not plain PCM; ..."), or "" when the file looks loadable.
std::string WavProblem(const std::string& path);

}  // namespace tool
