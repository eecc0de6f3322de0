#include "modbus/server.h"

#include "modbus/bits.h"
#include "modbus/errors.h"
#include "modbus/framefields.h"
#include "modbus/messages.h"
#include "modbus/values.h"

namespace regwire {

namespace {

constexpr std::uint16_t CoilOn = 0xFF00;
constexpr std::uint16_t CoilOff = 0x0000;

bool IsServedFunction(std::uint8_t function) {
    switch (function) {
        case 1:
        case 2:
        case 3:
        case 4:
        case 5:
        case 6:
        case 15:
        case 16:
            return true;
        default:
            return false;
    }
}

bool IsBitFunction(std::uint8_t function) {
    return function == 1 || function == 2;
}

// The byte count of a write of several values must be what its quantity
// takes: a request that disagrees with itself writes nothing.
bool ByteCountMatches(const TFrameFields& request, int expected) {
    try {
        return request.Byte(6) == expected;
    } catch (const ERegwireError&) {
        return false;
    }
}

// start + count - 1 stays a Modbus address.
bool RunFits(std::uint16_t start, std::uint16_t count) {
    return start + count - 1 <= 0xFFFF;
}

// Clears CurrentTransaction and the codec however the handling ends.
class THandlingScope {
  public:
    THandlingScope(TModbusTransaction*& current, const TFrameCodec*& codec,
                   TModbusTransaction& transaction, const TFrameCodec& used)
        : FCurrent(current), FCodec(codec) {
        FCurrent = &transaction;
        FCodec = &used;
    }
    ~THandlingScope() {
        FCurrent = nullptr;
        FCodec = nullptr;
    }
    THandlingScope(const THandlingScope&) = delete;
    THandlingScope& operator=(const THandlingScope&) = delete;

  private:
    TModbusTransaction*& FCurrent;
    const TFrameCodec*& FCodec;
};

}  // namespace

TModbusServer::TModbusServer(QObject* owner) : QObject(owner) {}

TModbusServer::~TModbusServer() {
    SetConnection(nullptr);
}

void TModbusServer::SetConnection(TModbusConnection* value) {
    if (value == FConnection)
        return;
    if (FConnection)
        FConnection->UnregisterServer(this);
    FConnection = value;
    if (FConnection)
        FConnection->RegisterServer(this);
}

void TModbusServer::HandleRequest(TModbusTransaction& transaction) {
    CheckConnection();
    Answer(transaction, FConnection->Codec());
}

void TModbusServer::CheckConnection() const {
    if (!FConnection || !FConnection->Active() || FConnection->Loading())
        RaiseError(msg::NoActiveConnection);
}

void TModbusServer::Answer(TModbusTransaction& transaction, const TFrameCodec& codec) {
    const THandlingScope scope(FCurrentTransaction, FCodec, transaction, codec);
    const std::uint8_t function = codec.GetFunctionCode(transaction.Request);
    if (!IsServedFunction(function) || !AcceptsFunction(function)) {
        Refuse(function, ecIllegalFunction);
        return;
    }
    switch (function) {
        case 5:
            ServeSingleCoilWrite();
            return;
        case 6:
            ServeSingleRegisterWrite();
            return;
        case 15:
            ServeMultipleCoilsWrite();
            return;
        case 16:
            ServeMultipleRegistersWrite();
            return;
        default:
            ServeRead(function);
            return;
    }
}

void TModbusServer::ExceptionReply(TModbusBuffer& buffer, std::uint8_t function,
                                   std::uint8_t code) {
    const TFrameCodec& codec = Codec();
    buffer.SetSize(0);
    buffer.WriteByte(FServerAddress);
    buffer.WriteByte(static_cast<std::uint8_t>(function | 0x80U));
    buffer.WriteByte(code);
    codec.AddChecksum(buffer);
}

const TFrameCodec& TModbusServer::Codec() const {
    if (FCodec != nullptr)
        return *FCodec;
    CheckConnection();
    return FConnection->Codec();
}

// --- Handlers ---

// Read coils, discrete inputs, holding or input registers.
void TModbusServer::ServeRead(std::uint8_t function) {
    TModbusTransaction& t = *FCurrentTransaction;
    const bool bits = IsBitFunction(function);
    std::uint16_t start = 0;
    std::uint16_t count = 0;
    if (!TakeRun(function, bits ? MaxReadBits : MaxReadRegisters, start, count))
        return;
    for (int i = 0; i < count; ++i) {
        if (!IsValid(function, static_cast<std::uint16_t>(start + i)))
            return Refuse(function, ecIllegalDataAddress);
    }

    TBitValues bitValues(bits ? count : 0);
    TRegValues regValues(bits ? 0 : count);
    try {
        for (int i = 0; i < count; ++i) {
            const auto address = static_cast<std::uint16_t>(start + i);
            const auto at = static_cast<std::size_t>(i);
            switch (function) {
                case 1:
                    bitValues[at] = GetCoil(address);
                    break;
                case 2:
                    bitValues[at] = GetDiscreteInput(address);
                    break;
                case 3:
                    regValues[at] = GetHoldingRegister(address);
                    break;
                default:
                    regValues[at] = GetInputRegister(address);
                    break;
            }
        }
    } catch (...) {
        return Refuse(function, ecServerDeviceFailure);
    }

    if (!BeginReply(function))
        return;
    if (bits) {
        t.Reply.WriteByte(static_cast<std::uint8_t>(BitByteCount(count)));
        WriteBits(bitValues, t.Reply);
    } else {
        t.Reply.WriteByte(static_cast<std::uint8_t>(2 * count));
        for (const std::uint16_t value : regValues)
            t.Reply.WriteWord(value);
    }
    EndReply();
}

void TModbusServer::ServeSingleCoilWrite() {
    std::uint16_t address = 0;
    std::uint16_t value = 0;
    if (!TakeWordPair(5, address, value))
        return;
    if (value != CoilOn && value != CoilOff)
        return Refuse(5, ecIllegalDataValue);
    if (RefuseWrite(5, CheckCoilWrite(address, value == CoilOn)))
        return;
    try {
        SetCoil(address, value == CoilOn);
    } catch (...) {
        return Refuse(5, ecServerDeviceFailure);
    }
    ReplyWordPair(5, address, value);
}

void TModbusServer::ServeSingleRegisterWrite() {
    std::uint16_t address = 0;
    std::uint16_t value = 0;
    if (!TakeWordPair(6, address, value))
        return;
    if (RefuseWrite(6, CheckHoldingRegisterWrite(address, value)))
        return;
    try {
        SetHoldingRegister(address, value);
    } catch (...) {
        return Refuse(6, ecServerDeviceFailure);
    }
    ReplyWordPair(6, address, value);
}

// Every value is checked before the first is written, so a refused value
// leaves the data as it was.
void TModbusServer::ServeMultipleCoilsWrite() {
    const TFrameFields request(FCurrentTransaction->Request, FCodec->ChecksumSize());
    std::uint16_t start = 0;
    std::uint16_t count = 0;
    if (!TakeRun(15, MaxWriteBits, start, count))
        return;
    if (!ByteCountMatches(request, BitByteCount(count)))
        return Refuse(15, ecIllegalDataValue);
    TBitValues values(count);
    try {
        request.Bits(7, values);
    } catch (const ERegwireError&) {
        return Refuse(15, ecIllegalDataValue);
    }
    for (int i = 0; i < count; ++i) {
        const auto address = static_cast<std::uint16_t>(start + i);
        if (RefuseWrite(15, CheckCoilWrite(address, values[static_cast<std::size_t>(i)])))
            return;
    }
    try {
        for (int i = 0; i < count; ++i)
            SetCoil(static_cast<std::uint16_t>(start + i), values[static_cast<std::size_t>(i)]);
    } catch (...) {
        return Refuse(15, ecServerDeviceFailure);
    }
    ReplyWordPair(15, start, count);
}

void TModbusServer::ServeMultipleRegistersWrite() {
    const TFrameFields request(FCurrentTransaction->Request, FCodec->ChecksumSize());
    std::uint16_t start = 0;
    std::uint16_t count = 0;
    if (!TakeRun(16, MaxWriteRegisters, start, count))
        return;
    if (!ByteCountMatches(request, 2 * count))
        return Refuse(16, ecIllegalDataValue);
    TRegValues values(count);
    try {
        request.Words(7, values);
    } catch (const ERegwireError&) {
        return Refuse(16, ecIllegalDataValue);
    }
    for (int i = 0; i < count; ++i) {
        const auto address = static_cast<std::uint16_t>(start + i);
        if (RefuseWrite(16,
                        CheckHoldingRegisterWrite(address, values[static_cast<std::size_t>(i)])))
            return;
    }
    try {
        for (int i = 0; i < count; ++i)
            SetHoldingRegister(static_cast<std::uint16_t>(start + i),
                               values[static_cast<std::size_t>(i)]);
    } catch (...) {
        return Refuse(16, ecServerDeviceFailure);
    }
    ReplyWordPair(16, start, count);
}

// --- Request and reply helpers ---

// The two words after the function code: an address and a value, or the
// start and count of a run. A request too short to hold them is refused.
bool TModbusServer::TakeWordPair(std::uint8_t function, std::uint16_t& first,
                                 std::uint16_t& second) {
    const TFrameFields request(FCurrentTransaction->Request, FCodec->ChecksumSize());
    try {
        first = request.Word(2);
        second = request.Word(4);
    } catch (const ERegwireError&) {
        Refuse(function, ecIllegalDataValue);
        return false;
    }
    return true;
}

// The start and count of a run of at most `maxCount` items, refused with the
// exception code the protocol gives for a bad count or a run past 65535.
bool TModbusServer::TakeRun(std::uint8_t function, int maxCount, std::uint16_t& start,
                            std::uint16_t& count) {
    if (!TakeWordPair(function, start, count))
        return false;
    if (count < 1 || count > maxCount) {
        Refuse(function, ecIllegalDataValue);
        return false;
    }
    if (!RunFits(start, count)) {
        Refuse(function, ecIllegalDataAddress);
        return false;
    }
    return true;
}

// The normal reply of the write functions: the request's two words again.
void TModbusServer::ReplyWordPair(std::uint8_t function, std::uint16_t first,
                                  std::uint16_t second) {
    if (!BeginReply(function))
        return;
    FCurrentTransaction->Reply.WriteWord(first);
    FCurrentTransaction->Reply.WriteWord(second);
    EndReply();
}

bool TModbusServer::IsValid(std::uint8_t function, std::uint16_t address) {
    switch (function) {
        case 1:
            return IsCoilValid(address);
        case 2:
            return IsDiscreteInputValid(address);
        case 3:
            return IsHoldingRegisterValid(address);
        default:
            return IsInputRegisterValid(address);
    }
}

// A broadcast is never answered, not even with an exception.
void TModbusServer::Refuse(std::uint8_t function, std::uint8_t code) {
    TModbusTransaction& t = *FCurrentTransaction;
    if (t.Info.ServerAddress == 0)
        return;
    ExceptionReply(t.Reply, function, code);
}

// True when the check refused the write (and the refusal is answered).
bool TModbusServer::RefuseWrite(std::uint8_t function, TWriteCheck check) {
    switch (check) {
        case wcIllegalAddress:
            Refuse(function, ecIllegalDataAddress);
            return true;
        case wcIllegalValue:
            Refuse(function, ecIllegalDataValue);
            return true;
        default:
            return false;
    }
}

// A normal reply is built only for an addressed request and only into an
// empty Reply; it starts with this server's address and the function code.
bool TModbusServer::BeginReply(std::uint8_t function) {
    TModbusTransaction& t = *FCurrentTransaction;
    if (t.Info.ServerAddress == 0 || t.Reply.Size() != 0)
        return false;
    t.Reply.SetPosition(0);
    t.Reply.WriteByte(FServerAddress);
    t.Reply.WriteByte(function);
    return true;
}

void TModbusServer::EndReply() {
    FCodec->AddChecksum(FCurrentTransaction->Reply);
}

// --- Defaults: a server that holds no data ---

bool TModbusServer::AcceptsFunction(std::uint8_t function) {
    return IsServedFunction(function);
}

bool TModbusServer::IsCoilValid(std::uint16_t) {
    return false;
}

bool TModbusServer::IsDiscreteInputValid(std::uint16_t) {
    return false;
}

bool TModbusServer::IsHoldingRegisterValid(std::uint16_t) {
    return false;
}

bool TModbusServer::IsInputRegisterValid(std::uint16_t) {
    return false;
}

TWriteCheck TModbusServer::CheckCoilWrite(std::uint16_t, bool) {
    return wcIllegalAddress;
}

TWriteCheck TModbusServer::CheckHoldingRegisterWrite(std::uint16_t, std::uint16_t) {
    return wcIllegalAddress;
}

bool TModbusServer::GetCoil(std::uint16_t) {
    return false;
}

bool TModbusServer::GetDiscreteInput(std::uint16_t) {
    return false;
}

std::uint16_t TModbusServer::GetHoldingRegister(std::uint16_t) {
    return 0;
}

std::uint16_t TModbusServer::GetInputRegister(std::uint16_t) {
    return 0;
}

void TModbusServer::SetCoil(std::uint16_t, bool) {}

void TModbusServer::SetHoldingRegister(std::uint16_t, std::uint16_t) {}

}  // namespace regwire
