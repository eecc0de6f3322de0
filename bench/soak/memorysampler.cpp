#include "memorysampler.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace soak {

long TMemorySampler::StatusKiB(const char* field) {
    std::FILE* status = std::fopen("/proc/self/status", "r");
    if (status == nullptr)
        return 0;
    const std::size_t length = std::strlen(field);
    long value = 0;
    char line[256];
    while (std::fgets(line, sizeof line, status) != nullptr) {
        if (std::strncmp(line, field, length) == 0 && line[length] == ':') {
            value = std::strtol(line + length + 1, nullptr, 10);
            break;
        }
    }
    std::fclose(status);
    return value;
}

void TMemorySampler::Sample(int done) {
    if (FSamples.size() < FSamples.capacity())
        FSamples.push_back({done, StatusKiB("VmRSS")});
}

long TMemorySampler::PeakKiB(int from, int to) const {
    long peak = 0;
    for (const TSample& sample : FSamples)
        if (sample.Done >= from && sample.Done < to)
            peak = std::max(peak, sample.ResidentKiB);
    return peak;
}

}  // namespace soak
