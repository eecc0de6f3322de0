#include "dahs/dahsserver.h"

#include <sstream>

#include "dahs/messages.h"
#include "modbus/framefields.h"
#include "platform/filltext.h"

namespace dahs {

namespace {

constexpr const char* kServerName = "DAHS";

std::string Number(double value) {
    std::ostringstream out;
    out << value;
    return out.str();
}

}  // namespace

std::string DahsCommandText(const TDahsCommand& command) {
    switch (command.Kind) {
        case ckApplyWanted:
            return "apply " + Number(command.Wanted) + " ng/l";
        case ckZeroGas:
            return "zero gas";
        case ckStartPlan:
            return "start plan " + std::to_string(command.Plan) +
                   (command.PlanFile.empty() ? "" : " (" + command.PlanFile + ")");
        case ckPause:
            return "pause";
        case ckResume:
            return "resume";
        case ckStop:
            return "stop";
        default:
            return "none";
    }
}

// The server object of one peer, on that peer's thread: the peer's own
// command registers, and a copy of the input registers taken once per
// request.
class TDahsPeerServer final : public regwire::TModbusServer {
  public:
    TDahsPeerServer(TDahsServer& owner, std::string peer) : FOwner(owner), FPeer(std::move(peer)) {}

  protected:
    // Called once at the start of every request: the moment to take the
    // whole snapshot a read answers from, and to start the pending copy of
    // the command registers a write is checked against.
    bool AcceptsFunction(std::uint8_t function) override {
        switch (function) {
            case 3:
                return true;
            case 4:
                FOwner.CopyInputRegisters(FInput);
                return true;
            case 5:
            case 6:
            case 15:
            case 16:
                if (!FOwner.FSettings.Control) {
                    FOwner.WriteRefused(FPeer, !FWriteRefused);
                    FWriteRefused = true;
                    return false;
                }
                FPending = FRegisters;
                // No coils in the map: a coil write is no function here.
                return function == 6 || function == 16;
            default:
                return false;
        }
    }

    bool IsInputRegisterValid(std::uint16_t address) override {
        return address < DahsRegisterCount(rkInput);
    }
    bool IsHoldingRegisterValid(std::uint16_t address) override {
        return address < TDahsCommandRegisters::Count();
    }
    std::uint16_t GetInputRegister(std::uint16_t address) override { return FInput[address]; }
    std::uint16_t GetHoldingRegister(std::uint16_t address) override {
        return FRegisters.Value(address);
    }

    // Every value of a write is checked before the first is stored: the
    // command register, the last of the map, is checked with the arguments
    // the same request carries, and its command goes to the owner here, so
    // that a refusal leaves every register as it was.
    regwire::TWriteCheck CheckHoldingRegisterWrite(std::uint16_t address,
                                                   std::uint16_t value) override {
        if (address >= TDahsCommandRegisters::Count())
            return regwire::wcIllegalAddress;
        FPending.Put(address, value);
        if (address != DahsRegister(dfCommand).Address || value == ckNone)
            return regwire::wcAccept;
        if (RunPassesCommand())
            return regwire::wcIllegalAddress;
        return FOwner.TakeCommand(FPending, value, FPeer) ? regwire::wcAccept
                                                          : regwire::wcIllegalValue;
    }

    void SetHoldingRegister(std::uint16_t address, std::uint16_t value) override {
        FRegisters.Put(address, value);
        if (address == DahsRegister(dfCommand).Address && value != ckNone)
            FRegisters.CommandTaken(value);
    }

  private:
    // Whether the write goes on past the command register: it would be
    // refused at the next address, after the command had gone. Modbus TCP
    // requests reach the server as RTU frames, CRC last.
    bool RunPassesCommand() {
        try {
            const regwire::TFrameFields fields(CurrentTransaction()->Request, 2);
            if (fields.Byte(1) != 16)
                return false;
            const int last = fields.Word(2) + fields.Word(4) - 1;
            return last > DahsRegister(dfCommand).Address;
        } catch (const std::exception&) {
            return true;
        }
    }

    TDahsServer& FOwner;
    const std::string FPeer;
    TDahsServer::TInputRegisters FInput{};
    TDahsCommandRegisters FRegisters;
    TDahsCommandRegisters FPending;
    bool FWriteRefused = false;
};

TDahsServer::TDahsServer(const TDahsSettings& settings) : FSettings(settings) {
    static_assert(std::tuple_size_v<TInputRegisters> == 33);
    Publish(TDahsSnapshot{});
    regwire::TModbusTcpServer::TOptions options;
    try {
        FTcp = std::make_unique<regwire::TModbusTcpServer>(
            settings.Listen, kServerName,
            [this](const std::string& peer) { return NewPeerServer(peer); }, options);
    } catch (const std::exception& e) {
        throw EDahsSettingsError(platform::FillText(msg::ListenFailed, {e.what()}));
    }
    FTcp->AcceptsPeer = [this](const std::string& peer) {
        return PeerAllowed(FSettings.Allow, peer);
    };
    FTcp->OnLog = [this](const std::string& line) {
        std::lock_guard lock(FLogLock);
        if (OnLog)
            OnLog(line);
    };
}

TDahsServer::~TDahsServer() = default;

std::unique_ptr<regwire::TModbusServer> TDahsServer::NewPeerServer(const std::string& peer) {
    return std::make_unique<TDahsPeerServer>(*this, peer);
}

void TDahsServer::Start() {
    FTcp->Start();
}

void TDahsServer::Publish(const TDahsSnapshot& snapshot) {
    TDahsSnapshot s = snapshot;
    s.Status = static_cast<std::uint16_t>(s.Status & ~sbControlAllowed);
    if (FSettings.Control)
        s.Status |= sbControlAllowed;
    TInputRegisters registers{};
    EncodeSnapshot(s, FSettings.WordOrder, registers);
    std::lock_guard lock(FRegistersLock);
    FRegisters = registers;
}

void TDahsServer::CopyInputRegisters(TInputRegisters& to) const {
    std::lock_guard lock(FRegistersLock);
    to = FRegisters;
}

bool TDahsServer::TakeCommand(const TDahsCommandRegisters& registers, std::uint16_t code,
                              const std::string& peer) {
    std::lock_guard lock(FCommandLock);
    TDahsCommand command;
    std::string reason;
    const std::string asked = std::to_string(code);
    if (!registers.Command(code, FSettings.WordOrder, command, reason)) {
        Log(peer, platform::FillText(msg::CommandRefusedLine, {asked, reason}));
        return false;
    }
    if (command.Kind == ckStartPlan) {
        command.PlanFile = FindPlan(FSettings.PlansFolder, command.Plan, reason);
        if (command.PlanFile.empty()) {
            Log(peer,
                platform::FillText(msg::CommandRefusedLine, {DahsCommandText(command), reason}));
            return false;
        }
    }
    command.Peer = peer;
    reason = msg::CommandNotTaken;
    if (!OnCommand || !OnCommand(command, reason)) {
        Log(peer, platform::FillText(msg::CommandRefusedLine, {DahsCommandText(command), reason}));
        return false;
    }
    ++FCommandsTaken;
    Log(peer, platform::FillText(msg::CommandTakenLine, {DahsCommandText(command)}));
    return true;
}

void TDahsServer::WriteRefused(const std::string& peer, bool firstOfPeer) {
    ++FRefusedWrites;
    if (firstOfPeer)
        Log(peer, msg::WriteRefusedLine);
}

void TDahsServer::Log(const std::string& peer, const std::string& text) {
    std::lock_guard lock(FLogLock);
    if (OnLog)
        OnLog(std::string(kServerName) + ": " + peer + ": " + text);
}

}  // namespace dahs
