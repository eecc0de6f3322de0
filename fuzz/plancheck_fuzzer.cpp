// Plan check: any bytes offered as a calibration run's plan are either
// refused with a reason (EPlanError, naming the point where one is at
// fault) or give a plan whose every point holds set points within the kit's
// limits, a finite calculated concentration and non-negative times; nothing
// else escapes, and nothing is read out of bounds.
#include <QByteArray>
#include <cmath>
#include <cstring>
#include <string>

#include "fuzzcheck.h"
#include "run/plan.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    fuzz::TInput in(data, size);
    const bool headless = (in.Byte() & 1U) != 0;
    const auto rest = in.Rest();
    const QByteArray json(reinterpret_cast<const char*>(rest.data()),
                          static_cast<qsizetype>(rest.size()));
    const run::TKitLimits limits;
    try {
        run::TPlan plan = run::ParsePlan(json);
        run::CheckPlan(plan, limits, headless);
        FUZZ_CHECK(!plan.Points.empty());
        FUZZ_CHECK(!plan.Name.empty());
        FUZZ_CHECK(!(headless && plan.Analyzer.Source == run::asManual));
        for (const run::TPlanPoint& p : plan.Points) {
            FUZZ_CHECK(p.ReservoirFlow >= 0 && p.ReservoirFlow <= limits.ReservoirCapacity);
            FUZZ_CHECK(p.Dilution > 0 && p.Dilution <= limits.DilutionCapacity);
            FUZZ_CHECK(p.Temperature >= limits.TempMin && p.Temperature <= limits.TempMax);
            FUZZ_CHECK(std::isfinite(p.Calculated) && p.Calculated >= 0);
            FUZZ_CHECK(p.DwellMinutes >= 0 && p.SettleMaxMinutes >= plan.SettlingMinutes);
        }
    } catch (const run::EPlanError& e) {
        FUZZ_CHECK(std::strlen(e.what()) > 0);
    }
    return 0;
}
