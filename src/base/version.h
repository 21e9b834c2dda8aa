// The miner's version, the one text the banner, the stats file and the API all show.
#pragma once

namespace orvo::qel {

inline constexpr char VERSION[] = MINTRAKEL_VERSION;  // "v" and the CMake project version

}  // namespace orvo::qel
