// TMainThreadDahs: the plant's server in a program whose main thread owns
// what a command changes (the console's window, vapcal-run's engine).
//
// A command arrives on a peer's thread and is taken on the main thread while
// the peer waits for the answer. Once the owner is ending, commands are
// refused with its reason; the server is then ended on a thread of its own,
// so that the main thread can still answer a command already on its way.
// The server's log lines go to standard error.
#pragma once

#include <atomic>
#include <memory>
#include <string>

#include "dahs/dahsserver.h"

namespace dahs {

// The settings file's Dahs keys, with the address given on the command line
// (mbtcp://HOST:PORT, which also turns the server on) in place of DahsListen
// when not empty. Raises EDahsSettingsError as LoadDahsSettings does.
TDahsSettings LoadDahsSettings(const std::string& iniFile, const std::string& listen);

class TMainThreadDahs {
  public:
    // Listens as TDahsServer does; `take` decides each command on the main
    // thread. Peers are served from Start on.
    TMainThreadDahs(const TDahsSettings& settings, TDahsServer::TCommandEvent take,
                    std::string closingReason);
    ~TMainThreadDahs();
    TMainThreadDahs(const TMainThreadDahs&) = delete;
    TMainThreadDahs& operator=(const TMainThreadDahs&) = delete;

    void Start() { FServer->Start(); }
    TDahsServer& Server() const { return *FServer; }

  private:
    bool HandOver(const TDahsCommand& command, std::string& reason);

    const TDahsServer::TCommandEvent FTake;
    const std::string FClosingReason;
    std::atomic<bool> FClosing{false};
    std::unique_ptr<TDahsServer> FServer;
};

}  // namespace dahs
