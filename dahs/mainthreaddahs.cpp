#include "dahs/mainthreaddahs.h"

#include <cstdio>
#include <thread>

#include "platform/thread.h"

namespace dahs {

TDahsSettings LoadDahsSettings(const std::string& iniFile, const std::string& listen) {
    TDahsSettings settings = LoadDahsSettings(iniFile);
    if (!listen.empty()) {
        settings.Listen = ParseDahsListen(listen);
        settings.Enabled = true;
    }
    return settings;
}

TMainThreadDahs::TMainThreadDahs(const TDahsSettings& settings, TDahsServer::TCommandEvent take,
                                 std::string closingReason)
    : FTake(std::move(take)),
      FClosingReason(std::move(closingReason)),
      FServer(std::make_unique<TDahsServer>(settings)) {
    FServer->OnLog = [](const std::string& line) { std::fprintf(stderr, "%s\n", line.c_str()); };
    FServer->OnCommand = [this](const TDahsCommand& command, std::string& reason) {
        return HandOver(command, reason);
    };
}

// Peer's thread. A command handed over just before the owner began to end
// is answered on the main thread while it waits for the server to end.
bool TMainThreadDahs::HandOver(const TDahsCommand& command, std::string& reason) {
    bool taken = false;
    if (!FClosing)
        platform::Synchronize([&] {
            if (FClosing)
                reason = FClosingReason;
            else
                taken = FTake(command, reason);
        });
    else
        reason = FClosingReason;
    return taken;
}

TMainThreadDahs::~TMainThreadDahs() {
    FClosing = true;
    platform::TCompletion ended;
    std::thread ender([this, &ended] {
        FServer.reset();
        ended.Complete();
    });
    ended.Wait();
    ender.join();
}

}  // namespace dahs
