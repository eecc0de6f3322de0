#include "platform/scripteddevice.h"

#include <gtest/gtest.h>

#include <future>
#include <string>

using namespace platform;
using namespace std::chrono_literals;

namespace {

TBytes Text(const std::string& s) {
    return TBytes(s.begin(), s.end());
}

std::string TakeAll(TScriptedSerialDevice& device) {
    size_t count = 0;
    device.GetInputCount(count);
    std::string s(count, '\0');
    EXPECT_TRUE(device.Read(reinterpret_cast<uint8_t*>(s.data()), count));
    return s;
}

bool WriteText(TScriptedSerialDevice& device, const std::string& s, uint32_t timeoutMs = 1000) {
    return device.Write(reinterpret_cast<const uint8_t*>(s.data()), s.size(), timeoutMs);
}

}  // namespace

TEST(ScriptedSerialDevice, AWaitWithNothingComingTakesExactlyItsTimeOut) {
    TScriptedSerialDevice device(500);
    EXPECT_FALSE(device.WaitForInput(1000));
    EXPECT_EQ(device.Tick(), 1500u);
}

// The rests of standard frame timing are exact to the microsecond; the
// millisecond tick is the same clock, whole milliseconds passed.
TEST(ScriptedSerialDevice, TheClockCountsMicrosecondsAndTheTickWholeMilliseconds) {
    TScriptedSerialDevice device(500);
    EXPECT_EQ(device.TickUs(), 500000u);
    EXPECT_FALSE(device.WaitForInputUs(2006));
    EXPECT_EQ(device.TickUs(), 502006u);
    EXPECT_EQ(device.Tick(), 502u);
    device.QueueInput({Text("x"), 0, false, 994});
    EXPECT_TRUE(device.WaitForInputUs(5000));
    EXPECT_EQ(device.TickUs(), 503000u);
    EXPECT_EQ(device.Tick(), 503u);
}

TEST(ScriptedSerialDevice, ChunksArriveWholeAtTheirTicks) {
    TScriptedSerialDevice device;
    device.QueueInput({Text("ab"), 5});
    device.QueueInput({Text("cd"), 30});
    device.QueueInput({Text("ef"), 30});

    EXPECT_TRUE(device.WaitForInput(100));
    EXPECT_EQ(device.Tick(), 5u);
    EXPECT_EQ(TakeAll(device), "ab");

    EXPECT_FALSE(device.WaitForInput(20));  // the gap ends before the next chunk
    EXPECT_EQ(device.Tick(), 25u);
    EXPECT_TRUE(device.WaitForInput(20));
    EXPECT_EQ(device.Tick(), 30u);
    EXPECT_EQ(TakeAll(device), "cdef");  // same tick, in the order queued
}

TEST(ScriptedSerialDevice, AnswersFollowTheWritesThatTakeThem) {
    TScriptedSerialDevice device(100);
    device.QueueAnswer({});  // the first request goes unanswered
    device.QueueAnswer({{Text("re"), 7}, {Text("ply"), 12}});

    EXPECT_TRUE(WriteText(device, "q1"));
    EXPECT_FALSE(device.WaitForInput(50));
    EXPECT_TRUE(WriteText(device, "q2"));
    EXPECT_TRUE(device.WaitForInput(1000));
    EXPECT_EQ(device.Tick(), 157u);
    EXPECT_EQ(TakeAll(device), "re");
    EXPECT_TRUE(device.WaitForInput(1000));
    EXPECT_EQ(TakeAll(device), "ply");
    EXPECT_EQ(device.Writes(), (std::vector<TBytes>{Text("q1"), Text("q2")}));
}

TEST(ScriptedSerialDevice, EchoComesBackBeforeTheAnswer) {
    TScriptedSerialDevice device;
    device.SetEcho(true);
    device.QueueAnswer({{Text("ok"), 0}});
    EXPECT_TRUE(WriteText(device, "req"));
    EXPECT_EQ(TakeAll(device), "reqok");
}

TEST(ScriptedSerialDevice, ALineErrorFailsTheCountOnceAndTheReadOfItsChunk) {
    TScriptedSerialDevice device;
    device.QueueInput({Text("bad"), 0, true});
    size_t count = 0;
    EXPECT_FALSE(device.GetInputCount(count));
    EXPECT_EQ(count, 3u);
    EXPECT_TRUE(device.GetInputCount(count));

    uint8_t buffer[8];
    EXPECT_FALSE(device.Read(buffer, 4));  // only 3 are there: nothing is taken
    EXPECT_EQ(device.Queued(), 3u);
    device.QueueInput({Text("worse"), 0, true});
    EXPECT_EQ(device.Queued(), 8u);
    EXPECT_FALSE(device.Read(buffer, 8));  // taken, but with the error
    EXPECT_EQ(device.Queued(), 0u);
    EXPECT_TRUE(device.GetInputCount(count));
}

TEST(ScriptedSerialDevice, HangingAndFailingWritesAreScriptedOnePerWrite) {
    TScriptedSerialDevice device;
    device.ScriptWrites(swHang);
    device.ScriptWrites(swFail);
    device.QueueAnswer({{Text("late"), 0}});

    EXPECT_FALSE(WriteText(device, "a", 200));
    EXPECT_EQ(device.Tick(), 200u);
    EXPECT_EQ(device.TransmitPurges(), 1);
    EXPECT_FALSE(WriteText(device, "b", 200));
    EXPECT_EQ(device.Tick(), 200u);
    EXPECT_TRUE(WriteText(device, "c", 200));
    EXPECT_EQ(device.WriteAttempts(), 3);
    EXPECT_EQ(device.Writes(), std::vector<TBytes>{Text("c")});
    EXPECT_EQ(TakeAll(device), "late");  // the answer went to the write that went out
}

TEST(ScriptedSerialDevice, PurgeDropsOnlyWhatHasArrived) {
    TScriptedSerialDevice device;
    device.QueueInput({Text("old"), 0, true});
    device.QueueInput({Text("new"), 10});
    device.Purge(true, false);
    size_t count = 99;
    EXPECT_TRUE(device.GetInputCount(count));
    EXPECT_EQ(count, 0u);
    EXPECT_TRUE(device.WaitForInput(100));
    EXPECT_EQ(TakeAll(device), "new");
    EXPECT_EQ(device.ReceivePurges(), 1);
    EXPECT_EQ(device.TransmitPurges(), 0);
}

TEST(ScriptedSerialDevice, AHeldClockMovesOnlyWhenTheTestAdvancesIt) {
    TScriptedSerialDevice device;
    device.HoldClock();
    auto silent = std::async(std::launch::async, [&] { return device.WaitForInput(100); });
    ASSERT_TRUE(device.WaitUntilBlocked());
    device.Advance(99);
    EXPECT_EQ(silent.wait_for(20ms), std::future_status::timeout);
    device.Advance(1);
    EXPECT_FALSE(silent.get());

    auto answered = std::async(std::launch::async, [&] { return device.WaitForInput(100); });
    ASSERT_TRUE(device.WaitUntilBlocked());
    device.QueueInput({Text("x"), 0});
    EXPECT_TRUE(answered.get());
    EXPECT_EQ(device.Tick(), 100u);
}

TEST(ScriptedSerialDevice, AnotherThreadCutsAnEndlessWaitShort) {
    TScriptedSerialDevice device;
    auto waiting =
        std::async(std::launch::async, [&] { return device.WaitForInput(kWaitForever); });
    ASSERT_TRUE(device.WaitUntilBlocked());
    device.CutShortWait();
    EXPECT_FALSE(waiting.get());
    EXPECT_EQ(device.Tick(), 0u);
}

TEST(ScriptedSerialDevice, AVanishedPortFailsEverythingAndItsWaitsTakeTheirTime) {
    TScriptedSerialDevice device;
    device.QueueInput({Text("lost"), 5});
    device.Vanish();
    size_t count = 0;
    EXPECT_FALSE(device.GetInputCount(count));
    EXPECT_FALSE(device.WaitForInput(300));
    EXPECT_EQ(device.Tick(), 300u);
    EXPECT_FALSE(WriteText(device, "q"));
    EXPECT_FALSE(device.Drain());
}

TEST(ScriptedSerialDevice, TheTickWrapsLikeA32BitCounter) {
    TScriptedSerialDevice device(0xFFFFFFF0u);
    EXPECT_FALSE(device.WaitForInput(32));
    EXPECT_EQ(device.Tick(), 0x10u);
}

TEST(ScriptedSerialDevice, RecordsSettingsRtsAndRefusals) {
    TScriptedSerialDevice device;
    TSerialLineSettings settings;
    settings.BitRate = 9600;
    device.ApplySettings(settings);
    EXPECT_EQ(device.Settings(), settings);
    device.SetRefuseSettings(true);
    EXPECT_THROW(device.ApplySettings(settings), ESerialError);
    EXPECT_EQ(device.SettingsApplied(), 1);
    device.SetRts(true);
    device.Drain();
    device.SetRts(false);
    EXPECT_EQ(device.RtsChanges(), (std::vector<bool>{true, false}));
    EXPECT_EQ(device.Drains(), 1);
}
