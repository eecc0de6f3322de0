// bench_apply_loss: how many Applies get through a lossy line.
//
// For each line (20 % of requests lost; 20 % lost and 10 % of replies
// spoilt) a fresh vapcal-sim answers a kit::TKit, which applies changing set
// points (the temperature with its handshake and both flows: seven writes
// an Apply) --applies times, first with every write sent once, then with
// each sent up to three times while no valid reply comes. Prints the share
// of Applies confirmed, the writes that failed and the sends they took.
// The instruments' pace is shortened (the simulated kit takes any), which
// changes the time an Apply takes, not whether it gets through.
//
//     build/bench/kit/bench_apply_loss [--applies 200] [--receive-timeout 300] [--seed 11]
#include <QCoreApplication>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "kit/kit.h"
#include "modbus/connection.h"
#include "simrun.h"

namespace {

struct TOptions {
    int Applies = 200;
    int ReceiveTimeoutMs = 300;
    int Seed = 11;
};

TOptions ReadOptions(int argc, char** argv) {
    TOptions options;
    for (int i = 1; i + 1 < argc; i += 2) {
        const int value = std::atoi(argv[i + 1]);
        if (std::strcmp(argv[i], "--applies") == 0 && value > 0)
            options.Applies = value;
        else if (std::strcmp(argv[i], "--receive-timeout") == 0 && value > 0)
            options.ReceiveTimeoutMs = value;
        else if (std::strcmp(argv[i], "--seed") == 0)
            options.Seed = value;
        else {
            std::fprintf(stderr,
                         "usage: bench_apply_loss [--applies N] [--receive-timeout MS] "
                         "[--seed N]\n");
            std::exit(64);
        }
    }
    return options;
}

struct TFigures {
    int Confirmed = 0;
    int FailedSteps = 0;
    int Sends = 0;
};

TFigures Run(const TOptions& options, const std::vector<std::string>& faults, int writeSends) {
    std::vector<std::string> simOptions = faults;
    simOptions.push_back("--seed=" + std::to_string(options.Seed));
    soak::TSimRun sim(VAPCAL_SIM, simOptions, 5000);
    if (sim.Device().empty()) {
        std::fprintf(stderr, "bench_apply_loss: vapcal-sim named no port\n");
        std::exit(2);
    }
    kit::TKit kit;
    kit.WriteSends = writeSends;
    kit.BetweenInstrumentsMs = 20;
    kit.HandshakeStepMs = 20;
    kit.Connection->SetReceiveTimeout(static_cast<std::uint32_t>(options.ReceiveTimeoutMs));
    kit.Open(sim.Device());
    TFigures figures;
    for (int i = 0; i < options.Applies; ++i) {
        const kit::TSetPoints wanted{41.0L + i % 5, 5.0L + (i % 10) / 10.0L,
                                     9.0L + (i % 7) / 10.0L};
        const kit::TApplyResult result = kit.Apply(kit.Changes(wanted));
        figures.Sends += result.Sends;
        figures.FailedSteps += static_cast<int>(result.Failures.size());
        if (result.Ok())
            ++figures.Confirmed;
    }
    kit.Close();
    sim.Stop();
    return figures;
}

void Print(const char* line, const char* sends, const TFigures& f, int applies) {
    std::printf("%-32s %-18s %5.1f %% confirmed (%d of %d), %d steps failed, %d sends\n", line,
                sends, 100.0 * f.Confirmed / applies, f.Confirmed, applies, f.FailedSteps, f.Sends);
    std::fflush(stdout);
}

}  // namespace

int main(int argc, char** argv) {
    QCoreApplication application(argc, argv);
    const TOptions options = ReadOptions(argc, argv);
    const struct {
        const char* Name;
        std::vector<std::string> Faults;
    } lines[] = {
        {"20 % lost", {"--no-reply=20"}},
        {"20 % lost, 10 % spoilt", {"--no-reply=20", "--bad-crc=10"}},
    };
    std::printf(
        "bench_apply_loss: %d Applies of three set points (7 writes each) a run, "
        "receive time-out %d ms, seed %d\n",
        options.Applies, options.ReceiveTimeoutMs, options.Seed);
    for (const auto& line : lines) {
        Print(line.Name, "each sent once", Run(options, line.Faults, 1), options.Applies);
        Print(line.Name, "up to three sends", Run(options, line.Faults, kit::kWriteSends),
              options.Applies);
    }
    return 0;
}
