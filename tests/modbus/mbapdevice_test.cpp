// Modbus TCP framing on loopback: the test holds the gateway's end of the
// connection and writes the MBAP frames itself.
#include "modbus/mbapdevice.h"

#include <gtest/gtest.h>

#include <vector>

#include "modbus/checksum.h"
#include "platform/tcpdevice.h"

using namespace regwire;
using Bytes = std::vector<std::uint8_t>;

namespace {

// Our client dials the far end; a client of the far end dials our server.
struct TGatewayLine {
    explicit TGatewayLine(TConnectionMode mode) {
        using platform::TTcpDevice;
        auto listener = TTcpDevice::Listen({"127.0.0.1", 0}, "listener");
        auto dialler = TTcpDevice::Connect({"127.0.0.1", listener->LocalPort()}, 3000, "dialler");
        const bool client = mode == cmClient;
        Far = std::move(client ? listener : dialler);
        Ours = std::make_unique<TMbapDevice>(std::move(client ? dialler : listener), mode);
    }

    // A frame as the connection hands it over: unit, PDU, CRC.
    static Bytes WithCrc(Bytes frame) {
        const std::uint16_t crc = CRC16(frame);
        frame.push_back(static_cast<std::uint8_t>(crc & 0xFF));
        frame.push_back(static_cast<std::uint8_t>(crc >> 8));
        return frame;
    }
    bool SendOurs(const Bytes& frame) { return Ours->Write(frame.data(), frame.size(), 3000); }
    bool SendFar(const Bytes& bytes) { return Far->Write(bytes.data(), bytes.size(), 3000); }
    Bytes ReceivedFar(std::size_t count) {
        Bytes bytes;
        while (bytes.size() < count && Far->WaitForInput(3000)) {
            std::size_t queued = 0;
            Far->GetInputCount(queued);
            bytes.resize(bytes.size() + queued);
            Far->Read(bytes.data() + bytes.size() - queued, queued);
        }
        return bytes;
    }
    // One frame as the connection's reader takes it; empty after a time-out.
    Bytes ReceivedOurs(bool* clean = nullptr) {
        if (!Ours->WaitForInput(500))
            return {};
        std::size_t queued = 0;
        const bool ok = Ours->GetInputCount(queued);
        if (clean != nullptr)
            *clean = ok;
        Bytes frame(queued);
        Ours->Read(frame.data(), queued);
        return frame;
    }

    std::unique_ptr<platform::TTcpDevice> Far;
    std::unique_ptr<TMbapDevice> Ours;
};

}  // namespace

TEST(MbapDevice, AClientNumbersItsRequestsAndTakesOnlyTheReplyToTheLast) {
    TGatewayLine line(cmClient);
    ASSERT_TRUE(line.SendOurs(TGatewayLine::WithCrc({17, 3, 0, 10, 0, 1})));
    EXPECT_EQ(line.ReceivedFar(12), (Bytes{0, 1, 0, 0, 0, 6, 17, 3, 0, 10, 0, 1}));
    ASSERT_TRUE(line.SendOurs(TGatewayLine::WithCrc({17, 3, 0, 11, 0, 1})));
    EXPECT_EQ(line.ReceivedFar(12), (Bytes{0, 2, 0, 0, 0, 6, 17, 3, 0, 11, 0, 1}));
    // The late reply to the first request, then the reply to the second
    // split inside its protocol data unit, as a slow gateway may pass it on.
    ASSERT_TRUE(line.SendFar({0, 1, 0, 0, 0, 5, 17, 3, 2, 0xAA, 0xAA, 0, 2, 0, 0, 0, 5, 17, 3}));
    EXPECT_EQ(line.ReceivedOurs(), Bytes{});
    ASSERT_TRUE(line.SendFar({2, 0x12, 0x34}));
    EXPECT_EQ(line.ReceivedOurs(), TGatewayLine::WithCrc({17, 3, 2, 0x12, 0x34}));
    EXPECT_EQ(line.ReceivedOurs(), Bytes{});
}

TEST(MbapDevice, AServerAnswersWithTheIdentifierOfTheRequest) {
    TGatewayLine line(cmServer);
    ASSERT_TRUE(line.SendFar({0x12, 0x34, 0, 0, 0, 6, 20, 6, 0, 7, 0, 9}));
    EXPECT_EQ(line.ReceivedOurs(), TGatewayLine::WithCrc({20, 6, 0, 7, 0, 9}));
    ASSERT_TRUE(line.SendOurs(TGatewayLine::WithCrc({20, 6, 0, 7, 0, 9})));
    EXPECT_EQ(line.ReceivedFar(12), (Bytes{0x12, 0x34, 0, 0, 0, 6, 20, 6, 0, 7, 0, 9}));
}

TEST(MbapDevice, AHeaderThatIsNoModbusFrameIsALineError) {
    const Bytes headers[] = {
        {0, 1, 0, 1, 0, 6, 20, 3, 0, 0, 0, 1},  // another protocol
        {0, 1, 0, 0, 0, 1, 20},                 // shorter than unit and function
        {0, 1, 0, 0, 1, 0, 20},                 // longer than any frame
    };
    for (const Bytes& header : headers) {
        TGatewayLine line(cmServer);
        ASSERT_TRUE(line.SendFar(header));
        line.Ours->WaitForInput(200);
        std::size_t queued = 0;
        EXPECT_FALSE(line.Ours->GetInputCount(queued));
        EXPECT_EQ(queued, 0u);
        // The next good frame is taken whole.
        ASSERT_TRUE(line.SendFar({0, 2, 0, 0, 0, 6, 20, 3, 0, 0, 0, 1}));
        bool clean = false;
        EXPECT_EQ(line.ReceivedOurs(&clean), TGatewayLine::WithCrc({20, 3, 0, 0, 0, 1}));
        EXPECT_TRUE(clean);
    }
}
