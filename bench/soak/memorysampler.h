// TMemorySampler: the soak's own resident memory, read from
// /proc/self/status at points of the run, so a leak per transaction shows as
// a last quarter that needs more than the first.
#pragma once

#include <vector>

namespace soak {

class TMemorySampler {
  public:
    // Room for every sample the run will take, reserved now so the samples
    // themselves do not grow the memory they measure.
    explicit TMemorySampler(int samples) { FSamples.reserve(static_cast<std::size_t>(samples)); }

    // Notes VmRSS after done transactions.
    void Sample(int done);
    // The largest VmRSS in KiB sampled with done in [from, to); 0 when none.
    long PeakKiB(int from, int to) const;

    // A field of /proc/self/status in KiB ("VmRSS", "VmHWM"); 0 when absent.
    static long StatusKiB(const char* field);

  private:
    struct TSample {
        int Done;
        long ResidentKiB;
    };
    std::vector<TSample> FSamples;
};

}  // namespace soak
