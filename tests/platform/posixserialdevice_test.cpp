// The POSIX serial device over real pseudo-terminals: the test holds the
// master side as the far end of the line, the device opens the slave by path
// as the console opens a port.
#include "platform/posixserialdevice.h"
#include "platform/linemode.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <pty.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>

#include <chrono>
#include <functional>
#include <future>
#include <string>
#include <thread>

using namespace platform;
using namespace std::chrono_literals;

namespace {

using TClock = std::chrono::steady_clock;

long long MsSince(TClock::time_point start) {
    return std::chrono::duration_cast<std::chrono::milliseconds>(TClock::now() - start).count();
}

class PseudoTerminalLine : public ::testing::Test {
  protected:
    void SetUp() override {
        char name[128] = {};
        int slave = -1;
        ASSERT_EQ(openpty(&Master, &slave, name, nullptr, nullptr), 0);
        close(slave);
        Path = name;
    }
    void TearDown() override {
        if (Master >= 0)
            close(Master);
    }

    std::unique_ptr<TPosixSerialDevice> OpenConfigured() {
        auto device = TPosixSerialDevice::Open(Path);
        TSerialLineSettings settings;
        settings.BitRate = 9600;
        device->ApplySettings(settings);
        return device;
    }

    void SendFromFarEnd(const std::string& text) {
        ASSERT_EQ(write(Master, text.data(), text.size()), static_cast<ssize_t>(text.size()));
    }

    std::string ReceiveAtFarEnd(size_t count) {
        std::string text(count, '\0');
        size_t got = 0;
        while (got < count) {
            const ssize_t n = read(Master, text.data() + got, count - got);
            if (n <= 0)
                break;
            got += static_cast<size_t>(n);
        }
        text.resize(got);
        return text;
    }

    void CloseFarEnd() {
        close(Master);
        Master = -1;
    }

    int Master = -1;
    std::string Path;
};

TSerialErrorKind OpenErrorKind(const std::string& path) {
    try {
        TPosixSerialDevice::Open(path);
    } catch (const ESerialError& e) {
        return e.Kind();
    }
    ADD_FAILURE() << path << " opened";
    return seSystem;
}

}  // namespace

TEST_F(PseudoTerminalLine, SecondOpenerFindsThePortBusyUntilTheFirstLetsGo) {
    auto first = TPosixSerialDevice::Open(Path);
    EXPECT_TRUE(first->IsPseudoTerminal());
    EXPECT_EQ(OpenErrorKind(Path), sePortBusy);
    first.reset();
    EXPECT_NO_THROW(TPosixSerialDevice::Open(Path));
}

// The exclusive flag of a pseudo-terminal outlives the close while its far
// end stays open; left set, it would keep any other program but root out of
// the simulated kit's port.
TEST_F(PseudoTerminalLine, ClosingThePortClearsItsExclusiveFlag) {
    TPosixSerialDevice::Open(Path).reset();
    const int fd = open(Path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK);
    ASSERT_GE(fd, 0);
    int exclusive = -1;
    EXPECT_EQ(ioctl(fd, TIOCGEXCL, &exclusive), 0);
    EXPECT_EQ(exclusive, 0);
    close(fd);
}

TEST(SerialDeviceOpen, TellsMissingPortsAndNonTerminalsApart) {
    EXPECT_EQ(OpenErrorKind("/dev/ttyVapcalNoSuchPort"), sePortMissing);
    EXPECT_EQ(OpenErrorKind("/dev/null"), seNotATerminal);
    try {
        TPosixSerialDevice::Open("/dev/ttyVapcalNoSuchPort");
    } catch (const ESerialError& e) {
        EXPECT_EQ(e.ErrorNumber(), ENOENT);
        EXPECT_NE(std::string(e.what()).find("/dev/ttyVapcalNoSuchPort"), std::string::npos);
    }
}

TEST(SerialDeviceOpen, HookRejectsWhatIsNoTerminal) {
    EXPECT_THROW(TPosixSerialDevice::Hook(-1), ESerialError);
    int pipeEnds[2];
    ASSERT_EQ(pipe(pipeEnds), 0);
    try {
        TPosixSerialDevice::Hook(pipeEnds[0]);
        ADD_FAILURE() << "a pipe was hooked";
    } catch (const ESerialError& e) {
        EXPECT_EQ(e.Kind(), seNotATerminal);
    }
    close(pipeEnds[0]);
    close(pipeEnds[1]);
}

TEST_F(PseudoTerminalLine, AppliesStandardAndCustomSpeedsAndStopBits) {
    struct Case {
        uint32_t BitRate;
        uint8_t DataBits;
        TSerialParity Parity;
        TSerialStopBits StopBits;
        TSerialStopBits Expected;
    };
    const Case cases[] = {
        {9600, 8, spEven, ssOne, ssOne},    {250000, 8, spNone, ssTwo, ssTwo},
        {14400, 7, spOdd, ssOne, ssOne},    {56000, 8, spMark, ssOneAndHalf, ssTwo},
        {128000, 8, spSpace, ssOne, ssOne}, {110, 8, spEven, ssTwo, ssTwo},
        {9600, 8, spOdd, ssOne, ssOne},  // a change of parity alone
    };
    auto device = TPosixSerialDevice::Open(Path);
    for (const Case& c : cases) {
        SCOPED_TRACE(c.BitRate);
        TSerialLineSettings settings;
        settings.BitRate = c.BitRate;
        settings.DataBits = c.DataBits;
        settings.Parity = c.Parity;
        settings.StopBits = c.StopBits;
        ASSERT_NO_THROW(device->ApplySettings(settings));
        linemode::TLineMode mode;
        ASSERT_EQ(linemode::ReadLineMode(device->Handle(), mode), 0);
        EXPECT_EQ(mode.Settings.BitRate, c.BitRate);
        EXPECT_EQ(mode.Settings.StopBits, c.Expected);
        EXPECT_TRUE(mode.EscapesInput);
    }
}

TEST_F(PseudoTerminalLine, EvenParityAndModemLinesAreHarmlessOnAPseudoTerminal) {
    auto device = TPosixSerialDevice::Open(Path);
    TSerialLineSettings settings;
    settings.BitRate = 9600;
    for (TSerialParity parity : {spNone, spEven, spOdd, spEven}) {
        settings.Parity = parity;
        EXPECT_NO_THROW(device->ApplySettings(settings));
    }
    settings.Handshake = shDtrDsr;
    EXPECT_NO_THROW(device->ApplySettings(settings));
    EXPECT_TRUE(device->SetRts(true));
    EXPECT_TRUE(device->SetRts(false));
    EXPECT_TRUE(device->Drain());
}

TEST_F(PseudoTerminalLine, SettingsNoPortCanHaveAreRefusedEvenOnAPseudoTerminal) {
    auto device = TPosixSerialDevice::Open(Path);
    for (auto spoil : {+[](TSerialLineSettings& s) { s.BitRate = 0; },
                       +[](TSerialLineSettings& s) { s.DataBits = 9; },
                       +[](TSerialLineSettings& s) { s.DataBits = 4; }}) {
        TSerialLineSettings settings;
        spoil(settings);
        try {
            device->ApplySettings(settings);
            ADD_FAILURE() << "accepted";
        } catch (const ESerialError& e) {
            EXPECT_EQ(e.Kind(), seSettingRefused);
            EXPECT_EQ(e.ErrorNumber(), EINVAL);
        }
    }
}

TEST_F(PseudoTerminalLine, CarriesCharactersBothWaysIncludingTheEscapeByte) {
    auto device = OpenConfigured();
    const std::string frame = std::string("\x0A\x03\xFF\x00\xFF\xFF\x41", 7);
    SendFromFarEnd(frame);
    ASSERT_TRUE(device->WaitForInput(2000));
    size_t count = 0;
    std::string received;
    while (received.size() < frame.size() && device->WaitForInput(2000)) {
        ASSERT_TRUE(device->GetInputCount(count));
        std::string chunk(count, '\0');
        ASSERT_TRUE(device->Read(reinterpret_cast<uint8_t*>(chunk.data()), count));
        received += chunk;
    }
    EXPECT_EQ(received, frame);

    const std::string reply("\x0B\x06\xFF\x00", 4);
    EXPECT_TRUE(device->Write(reinterpret_cast<const uint8_t*>(reply.data()), reply.size(), 1000));
    EXPECT_EQ(ReceiveAtFarEnd(reply.size()), reply);
}

TEST_F(PseudoTerminalLine, ReadTakesNothingWhenFewerCharactersAreQueued) {
    auto device = OpenConfigured();
    SendFromFarEnd("abc");
    size_t count = 0;
    while (device->WaitForInput(2000) && device->GetInputCount(count) && count < 3) {
    }
    ASSERT_EQ(count, 3u);
    uint8_t buffer[8] = {};
    EXPECT_FALSE(device->Read(buffer, 4));
    EXPECT_TRUE(device->Read(buffer, 3));
    EXPECT_EQ(std::string(reinterpret_cast<char*>(buffer), 3), "abc");
}

TEST_F(PseudoTerminalLine, WaitReturnsFalseAfterItsTimeOut) {
    auto device = OpenConfigured();
    const auto start = TClock::now();
    EXPECT_FALSE(device->WaitForInput(60));
    EXPECT_GE(MsSince(start), 60);
    // The microsecond wait ends neither a millisecond early nor on a whole
    // millisecond: the rest between frames is exact.
    for (const uint64_t us : {1750u, 4011u}) {
        const uint64_t before = device->TickUs();
        const auto started = TClock::now();
        EXPECT_FALSE(device->WaitForInputUs(us));
        EXPECT_GE(device->TickUs() - before, us);
        EXPECT_GE(TClock::now() - started, std::chrono::microseconds(us));
    }
}

// Both waits end when cut short: the endless one and the exact one, whose
// time-out here is far longer than the test may take.
TEST_F(PseudoTerminalLine, AnotherThreadCutsAWaitShort) {
    auto device = OpenConfigured();
    const std::function<bool()> waits[] = {
        [&] { return device->WaitForInput(kWaitForever); },
        [&] { return device->WaitForInputUs(30'000'000); },
    };
    for (const auto& wait : waits) {
        auto waiting = std::async(std::launch::async, wait);
        std::this_thread::sleep_for(20ms);
        device->CutShortWait();
        ASSERT_EQ(waiting.wait_for(10s), std::future_status::ready);
        EXPECT_FALSE(waiting.get());
    }
}

TEST_F(PseudoTerminalLine, ACutShortRequestEndsExactlyOneLaterWait) {
    auto device = OpenConfigured();
    device->CutShortWait();
    const auto start = TClock::now();
    EXPECT_FALSE(device->WaitForInput(kWaitForever));
    EXPECT_FALSE(device->WaitForInput(40));
    EXPECT_GE(MsSince(start), 40);
}

TEST_F(PseudoTerminalLine, QueuedInputAnswersTheWaitAtOnceAndPurgeDropsIt) {
    auto device = OpenConfigured();
    SendFromFarEnd("stale");
    ASSERT_TRUE(device->WaitForInput(2000));
    EXPECT_TRUE(device->WaitForInput(0));
    device->Purge(true, true);
    size_t count = 99;
    EXPECT_TRUE(device->GetInputCount(count));
    EXPECT_EQ(count, 0u);
    EXPECT_FALSE(device->WaitForInput(0));
}

TEST_F(PseudoTerminalLine, AWriteTheLineDoesNotTakeIsAbandoned) {
    auto device = OpenConfigured();
    // The far end reads nothing, so the pseudo-terminal's queue fills up.
    const std::vector<uint8_t> block(1 << 20, 0x55);
    EXPECT_FALSE(device->Write(block.data(), block.size(), 100));
}

TEST_F(PseudoTerminalLine, AClosedFarEndIsALineErrorAndItsWaitsSleep) {
    auto device = OpenConfigured();
    CloseFarEnd();
    size_t count = 0;
    EXPECT_FALSE(device->GetInputCount(count));
    EXPECT_FALSE(device->GetInputCount(count));
    const uint8_t byte = 1;
    EXPECT_FALSE(device->Write(&byte, 1, 100));

    // A worker that keeps retrying must sleep on each wait, never spin.
    const auto start = TClock::now();
    for (int i = 0; i < 3; ++i)
        EXPECT_FALSE(device->WaitForInput(40));
    EXPECT_GE(MsSince(start), 120);

    auto waiting =
        std::async(std::launch::async, [&] { return device->WaitForInput(kWaitForever); });
    std::this_thread::sleep_for(20ms);
    device->CutShortWait();
    ASSERT_EQ(waiting.wait_for(10s), std::future_status::ready);
    EXPECT_FALSE(waiting.get());
}

TEST_F(PseudoTerminalLine, AnIdleLineWithoutReadMinimumIsNotTakenForVanished) {
    auto device = TPosixSerialDevice::Open(Path);
    termios raw{};
    ASSERT_EQ(tcgetattr(device->Handle(), &raw), 0);
    cfmakeraw(&raw);
    raw.c_cc[VMIN] = 0;  // an idle read now returns 0, as at end of file
    raw.c_cc[VTIME] = 0;
    ASSERT_EQ(tcsetattr(device->Handle(), TCSANOW, &raw), 0);
    size_t count = 99;
    EXPECT_TRUE(device->GetInputCount(count));
    EXPECT_EQ(count, 0u);
}

TEST_F(PseudoTerminalLine, AHookedMasterRecoversWhenTheFarEndOpensAgain) {
    auto device = TPosixSerialDevice::Hook(Master);
    EXPECT_TRUE(device->IsPseudoTerminal());
    size_t count = 0;
    EXPECT_FALSE(device->GetInputCount(count));  // nobody on the slave side yet

    const int slave = open(Path.c_str(), O_RDWR | O_NOCTTY);
    ASSERT_GE(slave, 0);
    ASSERT_EQ(write(slave, "hi", 2), 2);
    ASSERT_TRUE(device->WaitForInput(5000));
    EXPECT_TRUE(device->GetInputCount(count));
    EXPECT_EQ(count, 2u);
    close(slave);
}

// The terminal's input marks (PARMRK) escape only what the slave side reads;
// a hooked master, as the simulated kit holds, reads the far end's
// characters as they were written, a \377 in a checksum included.
TEST_F(PseudoTerminalLine, AHookedMasterTakesTheEscapeByteAsData) {
    auto kit = TPosixSerialDevice::Hook(Master);
    TSerialLineSettings settings;
    settings.BitRate = 9600;
    settings.Parity = spEven;
    kit->ApplySettings(settings);
    auto console = OpenConfigured();

    const std::string request("\x0B\x06\x00\x21\x00\xCD\x18\xFF", 8);
    ASSERT_TRUE(
        console->Write(reinterpret_cast<const uint8_t*>(request.data()), request.size(), 1000));
    std::string received;
    size_t count = 0;
    while (received.size() < request.size() && kit->WaitForInput(500)) {
        ASSERT_TRUE(kit->GetInputCount(count));
        std::string chunk(count, '\0');
        ASSERT_TRUE(kit->Read(reinterpret_cast<uint8_t*>(chunk.data()), count));
        received += chunk;
    }
    EXPECT_EQ(received, request);
}

TEST_F(PseudoTerminalLine, AHookedDescriptorStaysItsOwnersUnlessToldOtherwise) {
    const int flags = fcntl(Master, F_GETFL);
    TPosixSerialDevice::Hook(Master).reset();
    EXPECT_EQ(fcntl(Master, F_GETFL), flags);  // open, and blocking again as it was

    const int copy = dup(Master);
    TPosixSerialDevice::Hook(copy, true).reset();
    EXPECT_EQ(fcntl(copy, F_GETFD), -1);
}

TEST(TickCounter, CountsMillisecondsAcrossASleep) {
    const uint32_t before = TickCount();
    std::this_thread::sleep_for(30ms);
    EXPECT_GE(static_cast<uint32_t>(TickCount() - before), 30u);
}
