// The number of logical processors this process may run on, as the operating system reports it.
#pragma once

#include <cstddef>

namespace wordsieve {

// Linux: the processors of the process's affinity mask (so a container or `taskset` limit counts);
// Windows: the active processors of every processor group; macOS and BSDs: the processors online.
// Elsewhere, or in a build without platform-specific paths, what the C++ library reports. At
// least 1.
std::size_t logical_processor_count();

}  // namespace wordsieve
