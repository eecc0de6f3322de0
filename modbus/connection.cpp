#include "modbus/connection.h"

#include <QPointer>
#include <algorithm>

#include "modbus/errors.h"
#include "modbus/messages.h"
#include "modbus/serialports.h"
#include "modbus/transactionthread.h"
#include "platform/msgsink.h"
#include "platform/posixserialdevice.h"

namespace regwire {

namespace {

constexpr std::uint32_t kFloorSilentMs = 20;
constexpr std::uint32_t kStandardFixedAbove = 19200;
constexpr std::uint32_t kStandardFixedQuietUs = 1750;
// Spare transactions a connection keeps at most: enough for a few clients
// with a request on the line and the next one queued; a burst beyond them
// returns its memory.
constexpr std::size_t kSpareTransactions = 8;

}  // namespace

std::uint32_t BaudRateSpeed(TBaudRate rate) {
    static constexpr std::uint32_t speeds[] = {110,    300,    600,    1200,  2400,  4800,
                                               9600,   14400,  19200,  38400, 56000, 57600,
                                               115200, 128000, 256000, 0};
    return speeds[rate];
}

TModbusConnection::TModbusConnection(QObject* owner)
    : QObject(owner),
      FReceiver(std::make_unique<platform::THiddenReceiver>(
          [this](platform::TPostedMessage& message) { HandleMessage(message); })) {
    FSpares.reserve(kSpareTransactions);
    // A client dials a network gateway, a server listens for one.
    DeviceFactory = [this](const TSerialPort& port) { return OpenPort(port, ConnectionMode()); };
}

TModbusConnection::~TModbusConnection() {
    FDestroying = true;
    try {
        SetActive(false);
    } catch (const std::exception& e) {
        platform::ShowError(e.what());
    }
    // Frees what is still posted to the receiver with it.
    FReceiver.reset();
}

// --- Stored form ---

void TModbusConnection::BeginLoading() {
    FLoading = true;
}

void TModbusConnection::Loaded() {
    FLoading = false;
    try {
        SetActive(FStreamedActive);
    } catch (const std::exception& e) {
        platform::ShowError(e.what());
    }
}

// --- Opening and closing ---

void TModbusConnection::SetActive(bool value) {
    if (FLoading) {
        FStreamedActive = value;
        return;
    }
    if (value == FActive)
        return;
    if (value) {
        DoBeforeOpen();
        OpenSequence();
        FActive = true;
        DoAfterOpen();
    } else {
        DoBeforeClose();
        CloseSequence();
        FActive = false;
        DoAfterClose();
    }
}

void TModbusConnection::OpenSequence() {
    OpenDevice();
    UseKernelDirection();
    FUnread.assign(static_cast<std::size_t>(FCodec.FrameBufferSize()), 0);
    FUnreadCount = 0;
    try {
        UpdateDCB();
        UpdateSilentInterval();
        // What waited on the line before the open is old traffic.
        if (ConnectionMode() == cmServer)
            FDevice->Purge(true, true);
        FThread = std::make_unique<TTransactionThread>(*this);
    } catch (...) {
        CloseSequence();
        throw;
    }
}

void TModbusConnection::OpenDevice() {
    FPortKind = FHookExistingPort ? pkSerial : PortKindOf(FPort);
    // The servers' times were another line's, or another speed's.
    FTurnaroundUs.fill(kTurnaroundUnknown);
    if (FPortKind == pkModbusTcp && TransmissionMode() != tmRTU)
        RaiseError(msg::ModbusTcpNeedsRTU);
    try {
        if (FHookExistingPort) {
            const THookHandle handle = DoGetHookedPortHandle();
            if (handle != InvalidHookHandle)
                FDevice = HookSerialPort(handle);
        } else if (DeviceFactory) {
            FDevice = DeviceFactory(FPort);
        }
    } catch (const platform::ESerialError&) {
        FDevice.reset();
    }
    if (!FDevice)
        RaiseError(msg::CouldNotOpenPort);
}

// RS-485 direction by the driver where it can: the kernel raises RTS for
// exactly the frame's characters. Decided at open, before the thread runs,
// since the flow control only changes while inactive.
void TModbusConnection::UseKernelDirection() {
    FKernelDirection.reset();
    if (FFlowControl != fcRtsToggle)
        return;
    if (const auto* posix = dynamic_cast<const platform::TPosixSerialDevice*>(FDevice.get()))
        FKernelDirection = platform::TRs485Direction::Enable(posix->Handle());
}

void TModbusConnection::CloseSequence() {
    // The thread finishes the transaction in hand before it ends.
    FThread.reset();
    // The transmission mode, and with it the largest frame, may change now.
    FSpares.clear();
    FKernelDirection.reset();
    // A hooked descriptor stays open: the device never closes it.
    FDevice.reset();
}

// --- Line settings ---

std::uint32_t TModbusConnection::Speed() const {
    return FBaudRate == brCustom ? FCustomBaudRate : BaudRateSpeed(FBaudRate);
}

void TModbusConnection::UpdateDCB() {
    if (!FDevice)
        return;
    platform::TSerialLineSettings settings;
    settings.BitRate = Speed();
    settings.DataBits = FDataBits == db7 ? 7 : 8;
    static constexpr platform::TSerialParity parity[] = {platform::spNone, platform::spOdd,
                                                         platform::spEven};
    settings.Parity = parity[FParity];
    settings.StopBits = FStopBits == sb1 ? platform::ssOne : platform::ssTwo;
    static constexpr platform::TSerialHandshake handshake[] = {
        platform::shNone, platform::shNone, platform::shRtsCts, platform::shDtrDsr};
    settings.Handshake = handshake[FFlowControl];
    // With fcRtsToggle RTS rests low and is raised around each write.
    settings.RtsOn = FRTSEnabled && (FFlowControl == fcNone || FFlowControl == fcDtrDsr);
    settings.DtrOn = FDTREnabled && FFlowControl != fcDtrDsr;
    try {
        // While the thread runs it alone touches the port: it applies them.
        if (FThread)
            FThread->ApplyLineSettings(settings);
        else
            FDevice->ApplySettings(settings);
    } catch (const platform::ESerialError&) {
        RaiseError(msg::UpdateDCBFailed);
    }
}

void TModbusConnection::UpdateSilentInterval() {
    std::uint32_t silentMs = FSilentInterval;
    if (TransmissionMode() == tmRTU) {
        const std::uint32_t bits = (FDataBits == db7 ? 7u : 8u) + (FStopBits == sb1 ? 1u : 2u) +
                                   (FParity != psNone ? 1u : 0u);
        // The product is taken in 32 bits, as the line's character timing
        // has always been computed.
        const std::uint32_t product = bits * FSilentInterval * 1000u;
        const std::uint32_t rate = Speed();
        silentMs = product / rate + (product % rate != 0 ? 1u : 0u);
    }
    // The standard's 3.5 character times, fixed above 19200 bit/s where
    // they would be shorter than a UART's timer can tell.
    const std::uint32_t bits = (FDataBits == db7 ? 7u : 8u) + 1u + (FStopBits == sb1 ? 1u : 2u) +
                               (FParity != psNone ? 1u : 0u);
    const std::uint32_t rate = Speed();
    const std::uint64_t quietUs = rate > kStandardFixedAbove
                                      ? kStandardFixedQuietUs
                                      : (std::uint64_t{bits} * 3500000u + rate - 1) / rate;
    std::unique_lock lock(FLock);
    FSilentMs = std::max(silentMs, kFloorSilentMs);
    FStandardQuietUs = static_cast<std::uint32_t>(quietUs);
    FCharacterUs = static_cast<std::uint32_t>(std::uint64_t{bits} * 1000000u / rate);
}

void TModbusConnection::LineSettingChanged() {
    if (!Live())
        return;
    UpdateDCB();
    UpdateSilentInterval();
}

// --- Property setters ---

void TModbusConnection::CheckInactive() const {
    if (FActive && !FLoading)
        RaiseError(msg::ConnectionMustNotBeActive);
}

void TModbusConnection::CheckActive() const {
    if (!Live())
        RaiseError(msg::ConnectionMustBeActive);
}

void TModbusConnection::SetBaudRate(TBaudRate value) {
    if (value == FBaudRate)
        return;
    FBaudRate = value;
    LineSettingChanged();
}

void TModbusConnection::SetConnectionMode(TConnectionMode value) {
    if (value == ConnectionMode())
        return;
    CheckInactive();
    FCodec.SetConnectionMode(value);
}

void TModbusConnection::SetCustomBaudRate(std::uint32_t value) {
    if (value == FCustomBaudRate)
        return;
    // A speed of 0 bit/s would divide the character timing by zero.
    if (value == 0)
        throw ERegwireError(msg::ValueOutOfRange, {1, 4294967295LL});
    FCustomBaudRate = value;
    FBaudRate = brCustom;
    LineSettingChanged();
}

void TModbusConnection::SetDataBits(TDataBits value) {
    if (value == FDataBits)
        return;
    FDataBits = value;
    LineSettingChanged();
}

void TModbusConnection::SetDTREnabled(bool value) {
    if (value == FDTREnabled)
        return;
    CheckInactive();
    FDTREnabled = value;
}

bool TModbusConnection::EchoQueryBeforeReply() const {
    std::shared_lock lock(FLock);
    return FEchoQueryBeforeReply;
}

void TModbusConnection::SetEchoQueryBeforeReply(bool value) {
    std::unique_lock lock(FLock);
    FEchoQueryBeforeReply = value;
}

TFrameTiming TModbusConnection::FrameTiming() const {
    std::shared_lock lock(FLock);
    return FFrameTiming;
}

void TModbusConnection::SetFrameTiming(TFrameTiming value) {
    std::unique_lock lock(FLock);
    FFrameTiming = value;
}

void TModbusConnection::SetFlowControl(TFlowControl value) {
    if (value == FFlowControl)
        return;
    CheckInactive();
    FFlowControl = value;
}

void TModbusConnection::SetHookExistingPort(bool value) {
    if (value == FHookExistingPort)
        return;
    CheckInactive();
    FHookExistingPort = value;
}

void TModbusConnection::SetInputBufferSize(int value) {
    if (value == FInputBufferSize)
        return;
    CheckInactive();
    FInputBufferSize = value;
}

TMaxRetries TModbusConnection::MaxRetries() const {
    std::shared_lock lock(FLock);
    return FMaxRetries;
}

void TModbusConnection::SetMaxRetries(TMaxRetries value) {
    if (value == 0)
        throw ERegwireError(msg::ValueOutOfRange, {1, 4294967295LL});
    std::unique_lock lock(FLock);
    FMaxRetries = value;
}

void TModbusConnection::SetOutputBufferSize(int value) {
    if (value == FOutputBufferSize)
        return;
    CheckInactive();
    FOutputBufferSize = value;
}

void TModbusConnection::SetParity(TParityScheme value) {
    if (value == FParity)
        return;
    FParity = value;
    LineSettingChanged();
}

void TModbusConnection::SetPort(const TSerialPort& value) {
    if (value == FPort)
        return;
    CheckInactive();
    FPort = value;
}

std::uint32_t TModbusConnection::ReceiveTimeout() const {
    std::shared_lock lock(FLock);
    return FReceiveTimeout;
}

void TModbusConnection::SetReceiveTimeout(std::uint32_t value) {
    std::unique_lock lock(FLock);
    FReceiveTimeout = value;
}

std::uint32_t TModbusConnection::RefetchDelay() const {
    std::shared_lock lock(FLock);
    return FRefetchDelay;
}

void TModbusConnection::SetRefetchDelay(std::uint32_t value) {
    std::unique_lock lock(FLock);
    FRefetchDelay = value;
}

void TModbusConnection::SetRTSEnabled(bool value) {
    if (value == FRTSEnabled)
        return;
    CheckInactive();
    FRTSEnabled = value;
}

std::uint32_t TModbusConnection::SendTimeout() const {
    std::shared_lock lock(FLock);
    return FSendTimeout;
}

void TModbusConnection::SetSendTimeout(std::uint32_t value) {
    std::unique_lock lock(FLock);
    FSendTimeout = value;
}

void TModbusConnection::SetSilentInterval(std::uint32_t value) {
    if (value == FSilentInterval)
        return;
    FSilentInterval = value;
    if (Live())
        UpdateSilentInterval();
}

void TModbusConnection::SetStopBits(TStopBits value) {
    if (value == FStopBits)
        return;
    FStopBits = value;
    LineSettingChanged();
}

void TModbusConnection::SetThreadPriority(TThreadPriority value) {
    if (value == FThreadPriority)
        return;
    FThreadPriority = value;
    if (FThread)
        FThread->SetPriority(value);
}

void TModbusConnection::SetTransmissionMode(TTransmissionMode value) {
    if (value == TransmissionMode())
        return;
    CheckInactive();
    FCodec.SetTransmissionMode(value);
}

std::uint32_t TModbusConnection::TurnaroundDelay() const {
    std::shared_lock lock(FLock);
    return FTurnaroundDelay;
}

void TModbusConnection::SetTurnaroundDelay(std::uint32_t value) {
    std::unique_lock lock(FLock);
    FTurnaroundDelay = value;
}

std::uint32_t TModbusConnection::SilentMs() const {
    std::shared_lock lock(FLock);
    return FSilentMs;
}

std::uint32_t TModbusConnection::StandardQuietUs() const {
    std::shared_lock lock(FLock);
    return FStandardQuietUs;
}

std::uint32_t TModbusConnection::CharacterUs() const {
    std::shared_lock lock(FLock);
    return FCharacterUs;
}

// --- Clients and servers ---

void TModbusConnection::RegisterClient(TModbusClientLink* client) {
    if (client == nullptr || std::ranges::find(FClients, client) != FClients.end())
        return;
    FClients.push_back(client);
}

void TModbusConnection::UnregisterClient(TModbusClientLink* client) {
    std::erase(FClients, client);
}

void TModbusConnection::RegisterServer(TModbusServerLink* server) {
    if (server == nullptr || std::ranges::find(FServers, server) != FServers.end())
        return;
    FServers.push_back(server);
}

void TModbusConnection::UnregisterServer(TModbusServerLink* server) {
    std::erase(FServers, server);
}

std::int32_t TModbusConnection::NextTransactionID() {
    const std::int32_t id = FTransactionCounter;
    FTransactionCounter = static_cast<std::int32_t>(static_cast<std::uint32_t>(id) + 1u);
    return id;
}

void TModbusConnection::WriteAddress(TModbusBuffer& request,
                                     const TModbusClientLink* client) const {
    request.WriteByte(client != nullptr ? client->ServerAddress() : 0);
}

std::unique_ptr<TModbusTransaction> TModbusConnection::NewTransaction() {
    if (FSpares.empty())
        return std::make_unique<TModbusTransaction>(MaxADUSize());
    std::unique_ptr<TModbusTransaction> transaction = std::move(FSpares.back());
    FSpares.pop_back();
    transaction->Clear();
    return transaction;
}

void TModbusConnection::QueueTransaction(std::unique_ptr<TModbusTransaction> transaction,
                                         TModbusClientLink* client) {
    CheckActive();
    transaction->Client = client != nullptr ? client->LinkedClient() : nullptr;
    if (FSynchronous && ConnectionMode() == cmClient && platform::IsMainThread() &&
        FThread->RunHere(transaction))
        return;
    FThread->AddTransaction(std::move(transaction));
}

int TModbusConnection::PendingTransactions(const TModbusClientLink* client) const {
    if (!Live())
        return 0;
    return client == nullptr ? FThread->QueuedCount()
                             : FThread->QueuedCount(client->ServerAddress());
}

void TModbusConnection::CancelTransactions(TModbusClientLink* client) {
    if (!Live() || ConnectionMode() != cmClient)
        return;
    FThread->RemoveTransactions(client != nullptr ? client->LinkedClient() : nullptr);
}

// --- Messages from the thread ---

bool TModbusConnection::DeliverNext(std::uint32_t timeoutMs) {
    // The thread may be waiting for this one to show an error: served here,
    // such a wait never holds up the transactions behind it.
    platform::CheckSynchronize();
    if (FReceiver->HandleNext(timeoutMs))
        return true;
    platform::CheckSynchronize();
    return false;
}

void TModbusConnection::HandleMessage(platform::TPostedMessage& message) {
    // A handler may destroy the connection.
    const QPointer<TModbusConnection> alive(this);
    std::unique_ptr<TModbusTransaction> transaction;
    try {
        if (message.Message == WM_MODBUS_TRANSACTION) {
            transaction = message.TakePayload<TModbusTransaction>();
            DeliverTransaction(*transaction);
        } else if (message.Message == WM_MODBUS_FRAME) {
            const auto& data = message.Payload<TFrameData>();
            if (message.Param == 1)
                DoFrameSend(data);
            else
                DoFrameReceive(data);
        }
    } catch (const std::exception& e) {
        platform::ShowError(e.what());
    }
    // A frame copy goes with its message; a transaction serves a next request.
    if (transaction && alive)
        KeepSpare(std::move(transaction));
}

void TModbusConnection::DeliverTransaction(TModbusTransaction& transaction) {
    if (!FActive || FDestroying)
        return;
    TModbusClientLink* client = FindClient(transaction.Client);
    if (client == nullptr || client->ServerAddress() != transaction.Info.ServerAddress)
        return;
    client->ProcessTransaction(transaction);
}

// Only while open, and only with room for the frames of the transmission
// mode in use.
void TModbusConnection::KeepSpare(std::unique_ptr<TModbusTransaction> transaction) {
    if (!FActive || FDestroying || FSpares.size() >= kSpareTransactions ||
        transaction->Request.Capacity() != MaxADUSize())
        return;
    FSpares.push_back(std::move(transaction));
}

TModbusClientLink* TModbusConnection::FindClient(const TModbusClient* client) const {
    if (client == nullptr)
        return nullptr;
    for (TModbusClientLink* link : FClients)
        if (link->LinkedClient() == client)
            return link;
    return nullptr;
}

// --- Event dispatchers ---

void TModbusConnection::DoAfterClose() {
    if (OnAfterClose)
        OnAfterClose(this);
}

void TModbusConnection::DoAfterOpen() {
    if (OnAfterOpen)
        OnAfterOpen(this);
}

void TModbusConnection::DoBeforeClose() {
    if (OnBeforeClose)
        OnBeforeClose(this);
}

void TModbusConnection::DoBeforeOpen() {
    if (OnBeforeOpen)
        OnBeforeOpen(this);
}

void TModbusConnection::DoFrameReceive(const TFrameData& data) {
    if (OnFrameReceive)
        OnFrameReceive(this, data);
}

void TModbusConnection::DoFrameSend(const TFrameData& data) {
    if (OnFrameSend)
        OnFrameSend(this, data);
}

THookHandle TModbusConnection::DoGetHookedPortHandle() {
    THookHandle handle = InvalidHookHandle;
    if (OnGetHookedPortHandle)
        OnGetHookedPortHandle(this, handle);
    return handle;
}

}  // namespace regwire
