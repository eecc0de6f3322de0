// The kit driven headless against the simulated kit (vapcal-sim on a
// pseudo-terminal): Apply on a line that loses requests, the extra reads of
// a poll cycle, and what a headless program is told when a step fails.
#include "kit/kit.h"

#include <gtest/gtest.h>

#include <QCoreApplication>
#include <algorithm>
#include <cmath>
#include <map>
#include <memory>
#include <regex>
#include <string>
#include <vector>

#include "../sim/simprocess.h"
#include "kit/registers.h"
#include "modbus/connection.h"
#include "platform/delay.h"

namespace {

void Application() {
    static int argc = 1;
    static char name[] = "kit_tests";
    static char* argv[] = {name, nullptr};
    if (QCoreApplication::instance() == nullptr)
        new QCoreApplication(argc, argv);
}

// What the simulated kit holds, from its log of accepted writes: register
// values by server and register.
class TKitLog {
  public:
    explicit TKitLog(TSimProcess& sim) : FSim(sim) {
        FHeld[{10, 33}] = 9600;   // 6 ml/min of 20
        FHeld[{11, 33}] = 16000;  // 10 l/min of 20
        FHeld[{20, 127}] = 400;   // 40 °C
    }
    // Takes the lines logged so far.
    void Take() {
        static const std::regex line(R"(server (\d+): register (\d+) := (\d+))");
        for (const std::string& text : FSim.TakeLines()) {
            std::smatch m;
            if (std::regex_match(text, m, line))
                FHeld[{std::stoi(m[1]), std::stoi(m[2])}] = std::stoi(m[3]);
        }
    }
    int Held(int server, int reg) { return FHeld[{server, reg}]; }

  private:
    TSimProcess& FSim;
    std::map<std::pair<int, int>, int> FHeld;
};

class KitTest : public ::testing::Test {
  protected:
    void SetUp() override { Application(); }

    // A kit on the simulated kit's port, at a simulated kit's pace, with
    // replies waited for as long as a pseudo-terminal needs.
    void Start(std::vector<std::string> options) {
        options.push_back("--seed=7");
        sim = std::make_unique<TSimProcess>(options);
        ASSERT_FALSE(sim->Device.empty());
        kit = std::make_unique<kit::TKit>();
        kit->BetweenInstrumentsMs = 20;
        kit->HandshakeStepMs = 20;
        kit->Connection->SetReceiveTimeout(600);
        kit->Open(sim->Device);
    }

    std::unique_ptr<TSimProcess> sim;
    std::unique_ptr<kit::TKit> kit;
};

// One request in five lost on the line: each set point and handshake step
// is sent again while no reply comes, so nearly every Apply of all three
// set points gets through (about 47 in 50: seven writes, each failing only
// when three sends in a row are lost). A failed one names the step that
// failed, and after every Apply the kit holds exactly what the console
// says it holds; a set point it cannot vouch for it does not claim.
TEST_F(KitTest, ApplyOnALineThatLosesOneRequestInFiveSendsAgainAndHoldsWhatItSays) {
    Start({"--no-reply=20"});
    TKitLog log(*sim);
    int succeeded = 0;
    int sends = 0;
    for (int i = 0; i < 50; ++i) {
        SCOPED_TRACE(i);
        const kit::TSetPoints wanted{41.0L + i % 5, 5.0L + (i % 10) / 10.0L,
                                     9.0L + (i % 7) / 10.0L};
        const kit::TSetPointChange change = kit->Changes(wanted);
        ASSERT_TRUE(change.Temp && change.Flow && change.DilutionFlow);
        const kit::TApplyResult result = kit->Apply(change);
        sends += result.Sends;
        if (result.Ok())
            ++succeeded;
        for (const kit::TStepFailure& failure : result.Failures) {
            const std::string text = kit::FailureText(failure);
            EXPECT_TRUE(text.find("did not confirm its new set point") != std::string::npos ||
                        text.find("(register ") != std::string::npos)
                << text;
        }
        platform::Delay(100);  // the kit's log may trail its last reply
        log.Take();
        // A set point the kit cannot vouch for (NaN) it does not claim.
        const auto held = [&](long double last, int server, int reg, std::uint16_t raw) {
            if (!std::isnan(last)) {
                EXPECT_EQ(log.Held(server, reg), raw) << server;
            }
        };
        held(kit->LastFlowSP, 10, 33,
             std::isnan(kit->LastFlowSP) ? 0 : kit::FlowSetPointToRaw(kit->LastFlowSP, 20));
        held(kit->LastDilutionFlowSP, 11, 33,
             std::isnan(kit->LastDilutionFlowSP)
                 ? 0
                 : kit::FlowSetPointToRaw(kit->LastDilutionFlowSP, 20));
        held(kit->LastTempSP, 20, 127,
             std::isnan(kit->LastTempSP) ? 0 : kit::TempSetPointToRaw(kit->LastTempSP));
        if (result.Ok()) {
            EXPECT_EQ(kit->LastTempSP, wanted.Temp);
            EXPECT_EQ(kit->LastFlowSP, wanted.Flow);
            EXPECT_EQ(kit->LastDilutionFlowSP, wanted.DilutionFlow);
        }
    }
    EXPECT_GE(succeeded, 45);
    EXPECT_GT(sends, 50 * 7) << "nothing was sent again";
    std::printf("kit: %d of 50 Applies confirmed, %d sends for %d writes\n", succeeded, sends,
                50 * 7);
}

// A refusal is the instrument's answer: it is not sent again.
TEST_F(KitTest, ARefusedStepIsNotSentAgainAndIsNamed) {
    Start({"--exception=100"});
    const kit::TApplyResult result = kit->Apply({45.5L, std::nullopt, std::nullopt});
    ASSERT_EQ(result.Failures.size(), 1u);
    EXPECT_EQ(result.Sends, 1);
    EXPECT_EQ(kit::FailureText(result.Failures[0]),
              "The temperature controller refused the request to enter write mode (register 768 "
              ":= 5); the next Apply writes the set point 45.5 again");
    EXPECT_EQ(kit->LastTempSP, 40);
}

// A poll cycle brings the three readings and each extra read's registers,
// or why it failed, once all of them have completed.
TEST_F(KitTest, APollCycleDeliversTheReadingsAndTheExtraReads) {
    Start({});
    EXPECT_THROW(kit->SetExtraReads({{30, 5, 0, 2}}), std::invalid_argument);
    EXPECT_THROW(kit->SetExtraReads({{30, 4, 0, 0}}), std::invalid_argument);
    // Server 10 is the reservoir-flow controller: its measured value read
    // twice more, as holding register; server 42 is no one.
    kit->SetExtraReads({{10, 3, 32, 1}, {42, 4, 0, 2}});
    std::vector<kit::TPollCycle> cycles;
    kit->OnPoll = [&](const kit::TPollCycle& cycle) { cycles.push_back(cycle); };
    kit->StartPolling();
    for (int i = 0; i < 100 && cycles.size() < 4; ++i)
        platform::Delay(50);
    kit->StopPolling();
    ASSERT_GE(cycles.size(), 1u);
    const kit::TPollCycle& cycle = cycles[0];
    for (const auto& reading : cycle.Readings) {
        EXPECT_TRUE(reading.Sent && reading.Completed);
        EXPECT_EQ(reading.Status, regwire::tsSuccess);
    }
    EXPECT_NEAR(cycle.Readings[live::inReservoirFlow].Value, 6.0, 0.05);
    EXPECT_NEAR(cycle.Readings[live::inTemperature].Value, 40.0, 0.05);
    ASSERT_EQ(cycle.Extra.size(), 2u);
    EXPECT_EQ(cycle.Extra[0].Status, regwire::tsSuccess);
    ASSERT_EQ(cycle.Extra[0].Registers.size(), 1u);
    EXPECT_NEAR(cycle.Extra[0].Registers[0], 9600, 50);
    EXPECT_TRUE(cycle.Extra[1].Sent);
    EXPECT_EQ(cycle.Extra[1].Status, regwire::tsNoReply);
    // The silent server's read waits less than the kit's own, so the cycle
    // is over with its outcome rather than cut short by the next tick.
    EXPECT_TRUE(std::any_of(cycles.begin(), cycles.end(),
                            [](const kit::TPollCycle& c) { return c.Extra[1].Completed; }));
}

// The settings' reads on a line that loses three requests in ten and spoils
// two replies in ten: each is sent up to three times, and those still
// unanswered go out again until every one is answered.
TEST_F(KitTest, RefreshReadsEverySettingPatientlyOnALossyLine) {
    Start({"--no-reply", "30", "--bad-crc", "20"});
    kit->RFCapacity = kit->DFCapacity = 0;
    kit->LastFlowSP = kit->LastTempSP = 0;
    EXPECT_TRUE(kit->RefreshSettings(60000));
    EXPECT_EQ(kit->RFCapacity, 20.0f);
    EXPECT_EQ(kit->DFCapacity, 20.0f);
    EXPECT_TRUE(kit->TempUpperLimit.has_value());
    EXPECT_TRUE(kit->TempLowerLimit.has_value());
    EXPECT_EQ(kit->LastFlowSP, 6);
    EXPECT_EQ(kit->LastTempSP, 40);
}

// A port another program holds (here a second kit on the same
// pseudo-terminal) says so, and a missing one keeps the library's words.
TEST_F(KitTest, APortAnotherProgramHoldsIsSaidToBeInUse) {
    Start({});
    kit::TKit second;
    try {
        second.Open(sim->Device);
        ADD_FAILURE() << "one port opened twice";
    } catch (const std::exception& e) {
        EXPECT_EQ(e.what(), "Port " + sim->Device + " is in use by another program");
    }
    try {
        second.Open("/dev/vapcal-no-such-port");
        ADD_FAILURE() << "a missing port opened";
    } catch (const std::exception& e) {
        EXPECT_STREQ(e.what(), "Could not open serial port");
    }
}

}  // namespace
