// TTransactionThread on a scripted line: attempts and retries, the checks of
// a reply, echo removal, broadcasts, line faults, cancelling and closing.
#include <gtest/gtest.h>

#include <atomic>
#include <thread>

#include "engine_helpers.h"
#include "helpers.h"
#include "modbus/transactionthread.h"

namespace regwire::test {
namespace {

using platform::TScriptedChunk;
using Bytes = std::vector<std::uint8_t>;

// A client at address 10 on an open scripted RTU line.
struct TExchange : TScriptedLine {
    explicit TExchange(TTransmissionMode mode = tmRTU) : TScriptedLine(mode) {
        Connection.RegisterClient(&Client);
    }
    void Open() {
        Connection.Open();
        Silence = Hold ? 0 : Connection.SilentMs();
    }
    // Reads holding register 32 and waits for the completion.
    const TTransactionInfo& ReadOne() {
        Connection.QueueTransaction(Request(Connection, &Client, 3, 32, 1), &Client);
        EXPECT_TRUE(SpinUntil([&] { return Client.Done.size() == 1; }));
        return Client.Done.at(0);
    }

    TRecordingClient Client{10};
    std::uint32_t Silence = 0;
};

const Bytes kReply = Rtu({10, 3, 2, 0, 42});

TEST(TransactionThread, AnUnansweredRequestIsSentMaxRetriesTimes) {
    TExchange x;
    x.Connection.SetMaxRetries(3);
    x.Connection.SetReceiveTimeout(200);
    x.Connection.SetRefetchDelay(50);
    x.Open();
    const TTransactionInfo info = x.ReadOne();
    EXPECT_EQ(info.Status, tsNoReply);
    EXPECT_EQ(info.Attempts, 3);
    EXPECT_EQ(x.Device->Writes(), (std::vector<Bytes>(3, Rtu({10, 3, 0, 32, 0, 1}))));
    // Each send is followed by the whole receive time-out and the refetch
    // delay, on the line's own clock.
    EXPECT_EQ(x.Device->Tick(), x.Silence + 3 * (200 + 50));
    // The request is purged off the line before every send, and each wait
    // for the reply starts once the request has left the line.
    EXPECT_GE(x.Device->ReceivePurges(), 3);
    EXPECT_EQ(x.Device->Drains(), 3);
}

TEST(TransactionThread, ABadChecksumIsRetriedAndTheGoodReplyTaken) {
    TExchange x;
    x.Connection.SetMaxRetries(2);
    x.Open();
    Bytes bad = kReply;
    bad.back() ^= 0xFF;
    x.Device->QueueAnswer({{bad, 5}});
    x.Device->QueueAnswer({{kReply, 5}});
    const TTransactionInfo info = x.ReadOne();
    EXPECT_EQ(info.Status, tsSuccess);
    EXPECT_EQ(info.Attempts, 2);
    EXPECT_EQ(x.Client.Replies.at(0), kReply);
}

TEST(TransactionThread, AForeignReplyDoesNotEndTheWait) {
    TExchange x;
    x.Connection.SetMaxRetries(3);
    x.Open();
    x.Device->QueueAnswer({{Rtu({11, 3, 2, 0, 7}), 10}, {kReply, 300}});
    const TTransactionInfo info = x.ReadOne();
    EXPECT_EQ(info.Status, tsSuccess);
    EXPECT_EQ(info.Attempts, 1);
    EXPECT_EQ(x.Device->Writes().size(), 1u);
}

TEST(TransactionThread, AForeignReplyAloneEndsWithoutReplyAfterTheTimeOut) {
    TExchange x;
    x.Connection.SetReceiveTimeout(300);
    x.Open();
    x.Device->QueueAnswer({{Rtu({11, 3, 2, 0, 7}), 10}});
    EXPECT_EQ(x.ReadOne().Status, tsNoReply);
    EXPECT_EQ(x.Device->Tick(), x.Silence + 300);
}

TEST(TransactionThread, AnExceptionReplyIsNeverRetried) {
    TExchange x;
    x.Connection.SetMaxRetries(3);
    x.Open();
    x.Device->QueueAnswer({{Rtu({10, 0x83, 2}), 5}});
    const TTransactionInfo info = x.ReadOne();
    EXPECT_EQ(info.Status, tsException);
    EXPECT_EQ(info.ExceptionCode, 2);
    EXPECT_EQ(info.RawExceptionCode, 2);
    EXPECT_EQ(info.Attempts, 1);
}

TEST(TransactionThread, AnotherFunctionCodeIsABadReplyNeverRetried) {
    TExchange x;
    x.Connection.SetMaxRetries(3);
    x.Open();
    x.Device->QueueAnswer({{Rtu({10, 4, 2, 0, 42}), 5}});
    const TTransactionInfo info = x.ReadOne();
    EXPECT_EQ(info.Status, tsBadReply);
    EXPECT_EQ(info.Attempts, 1);
}

TEST(TransactionThread, ABroadcastIsSentOnceAndRaisesNoEvent) {
    TExchange x;
    // A client at address 0 would hear a broadcast that was posted.
    TRecordingClient everyone(0);
    x.Connection.RegisterClient(&everyone);
    x.Connection.SetMaxRetries(3);
    x.Connection.SetTurnaroundDelay(100);
    x.Connection.SetRefetchDelay(30);
    x.Open();
    // The line's answers are scripted before the thread can send anything.
    x.Device->QueueAnswer({});
    x.Device->QueueAnswer({{kReply, 5}});
    x.Connection.QueueTransaction(Request(x.Connection, &everyone, 6, 33, 1600), &everyone);
    // A later read completes after the broadcast is done with; posts arrive
    // in order, so a completion of the broadcast would have come first.
    const TTransactionInfo info = x.ReadOne();
    EXPECT_TRUE(everyone.Done.empty());
    EXPECT_EQ(info.Status, tsSuccess);
    EXPECT_EQ(x.Device->Writes().size(), 2u);
    EXPECT_EQ(x.Device->Writes().at(0), Rtu({0, 6, 0, 33, 0x06, 0x40}));
    // Turnaround and refetch delay after the broadcast, then the read.
    EXPECT_EQ(x.Device->Tick(), x.Silence + 100 + 30 + 5 + x.Connection.SilentMs() + 30);
}

// Requests no server answers succeed once sent, and still complete: a
// custom broadcast, and the switch of a server to listen-only.
TEST(TransactionThread, RequestsThatGetNoReplySucceedOnceSent) {
    struct TCase {
        const char* Name;
        std::uint8_t Address;
        bool Custom;
        std::uint8_t Function;
        std::uint16_t First;
    };
    for (const TCase& k : {TCase{"custom broadcast", 0, true, 0x41, 7},
                           TCase{"force listen only", 10, false, 8, 4}}) {
        TExchange x;
        TRecordingClient client(k.Address);
        x.Connection.RegisterClient(&client);
        x.Connection.SetMaxRetries(3);
        x.Connection.SetTurnaroundDelay(100);
        x.Open();
        auto t = Request(x.Connection, &client, k.Function, k.First, 0);
        t->Custom = k.Custom;
        x.Connection.QueueTransaction(std::move(t), &client);
        ASSERT_TRUE(SpinUntil([&] { return client.Done.size() == 1; })) << k.Name;
        EXPECT_EQ(client.Done[0].Status, tsSuccess) << k.Name;
        EXPECT_EQ(client.Done[0].Attempts, 1) << k.Name;
        EXPECT_EQ(x.Device->Writes().size(), 1u) << k.Name;
        EXPECT_EQ(x.Device->Tick(), x.Silence + 100) << k.Name;
    }
}

TEST(TransactionThread, AnEchoRunningIntoTheReplyIsCutOff) {
    TExchange x;
    TFrameData received;
    x.Connection.OnFrameReceive = [&](TModbusConnection*, const TFrameData& d) { received = d; };
    x.Connection.SetEchoQueryBeforeReply(true);
    x.Open();
    x.Device->QueueAnswer({{Concat(Rtu({10, 3, 0, 32, 0, 1}), kReply), 5}});
    const TTransactionInfo info = x.ReadOne();
    EXPECT_EQ(info.Status, tsSuccess);
    EXPECT_EQ(x.Client.Replies.at(0), kReply);
    EXPECT_EQ(received, kReply);
}

TEST(TransactionThread, AnASCIIEchoAndTheReplyInOneChunkLoseNothing) {
    TExchange x(tmASCII);
    x.Connection.SetEchoQueryBeforeReply(true);
    x.Open();
    const Bytes reply = Ascii({10, 3, 2, 0, 42});
    x.Device->QueueAnswer({{Concat(Ascii({10, 3, 0, 32, 0, 1}), reply), 5}});
    EXPECT_EQ(x.ReadOne().Status, tsSuccess);
    EXPECT_EQ(x.Client.Replies.at(0), (Bytes{10, 3, 2, 0, 42, 0xC7}));
}

TEST(TransactionThread, AnEchoAloneIsFollowedByTheReply) {
    TExchange x;
    x.Connection.SetEchoQueryBeforeReply(true);
    x.Open();
    x.Device->SetEcho(true);
    x.Device->QueueAnswer({{kReply, 60}});
    const TTransactionInfo info = x.ReadOne();
    EXPECT_EQ(info.Status, tsSuccess);
    EXPECT_EQ(x.Client.Replies.at(0), kReply);
}

TEST(TransactionThread, WithoutTheEchoOptionAnEchoIsAForeignFrame) {
    TExchange x;
    x.Open();
    x.Device->QueueAnswer({{Concat(Rtu({10, 3, 0, 32, 0, 1}), kReply), 5}});
    EXPECT_EQ(x.ReadOne().Status, tsBadFrame);
}

// Line faults end the attempt without a reply, a run longer than any frame
// as a bad frame; the read never raises, and the rest of a broken run is
// dropped up to the next gap, where the retry's reply is read whole.
TEST(TransactionThread, LineFaultsEndAnAttemptAndTheRetryReadsTheNextFrame) {
    struct TCase {
        const char* Name;
        std::vector<TScriptedChunk> Answer;
        TTransactionStatus Status;
    };
    const Bytes huge(300, 0x55);
    for (const TCase& k : {
             TCase{"chunk larger than the room", {{huge, 5}}, tsBadFrame},
             TCase{"a frame that grows past the room",
                   {{Bytes(200, 0x55), 5}, {Bytes(57, 0x55), 10}, {Bytes(100, 0x55), 15}},
                   tsBadFrame},
             TCase{"parity error", {{kReply, 5, true}}, tsNoReply},
             TCase{"parity error in the second chunk",
                   {{Bytes(kReply.begin(), kReply.begin() + 3), 5},
                    {Bytes(kReply.begin() + 3, kReply.end()), 10, true}},
                   tsNoReply},
         }) {
        TExchange x;
        x.Connection.SetMaxRetries(2);
        x.Open();
        x.Device->QueueAnswer(k.Answer);
        x.Device->QueueAnswer({{kReply, 5}});
        const TTransactionInfo info = x.ReadOne();
        EXPECT_EQ(info.Status, tsSuccess) << k.Name;
        EXPECT_EQ(info.Attempts, 2) << k.Name;
        EXPECT_EQ(x.Device->Queued(), 0u) << k.Name;
    }
    for (const TCase& k : {
             TCase{"chunk larger than the room", {{huge, 5}}, tsBadFrame},
             TCase{"parity error", {{kReply, 5, true}}, tsNoReply},
         }) {
        TExchange x;
        x.Open();
        x.Device->QueueAnswer(k.Answer);
        EXPECT_EQ(x.ReadOne().Status, k.Status) << k.Name;
    }
}

// A reply cut in two by a pause longer than the frame gap (a device held up
// inside it): the tail is let pass before the request goes again, or it
// would run into the next reply and spoil that one as well.
TEST(TransactionThread, TheTailOfACutReplyIsLetPassBeforeTheRetry) {
    TExchange x;
    x.Connection.SetMaxRetries(2);
    x.Open();
    const std::uint32_t gap = x.Connection.SilentMs();
    x.Device->QueueAnswer({{Bytes(kReply.begin(), kReply.begin() + 3), 5},
                           {Bytes(kReply.begin() + 3, kReply.end()), 5 + gap + 10}});
    x.Device->QueueAnswer({{kReply, 5}});
    const TTransactionInfo info = x.ReadOne();
    EXPECT_EQ(info.Status, tsSuccess);
    EXPECT_EQ(info.Attempts, 2);
    EXPECT_EQ(x.Client.Replies.at(0), kReply);
}

// The scripted clock once the thread has let the line rest after a reply:
// the completion is posted before the rest, so the clock may still be short
// of `expected` when the test sees it; it stops there (or past it, which the
// test then reports).
std::uint64_t ClockAfterTheRest(TExchange& x, std::uint64_t expected) {
    SpinUntil([&] { return x.Device->TickUs() >= expected; }, 2000);
    return x.Device->TickUs();
}

// Standard timing ends a reply at the length its byte count gives, where gap
// timing waits out SilentMs; a CRC that fails at that length leaves it to
// the gap of 3.5 characters (2006 us at 19200 bit/s), and the whole frame is
// read. In standard timing the thread then lets the line rest 3.5
// characters since the reply's last character before it looks for more.
TEST(TransactionThread, StandardTimingEndsAReplyAtItsLength) {
    struct TCase {
        const char* Name;
        TFrameTiming Timing;
        std::vector<TScriptedChunk> Answer;
        Bytes Received;
        std::uint32_t EndsUs;  // after the send, the rest included
    };
    const Bytes longer = Rtu({10, 3, 2, 0, 42, 7});
    const Bytes head(kReply.begin(), kReply.begin() + 3);
    const Bytes tail(kReply.begin() + 3, kReply.end());
    for (const TCase& k : {
             TCase{"gap timing", ftGap, {{kReply, 5}}, kReply, 5000 + 20000},
             TCase{"standard timing", ftStandard, {{kReply, 5}}, kReply, 5000 + 2006},
             TCase{"in two chunks, gap timing",
                   ftGap,
                   {{head, 5}, {tail, 7, false, 500}},
                   kReply,
                   7500 + 20000},
             TCase{"in two chunks, standard timing",
                   ftStandard,
                   {{head, 5}, {tail, 7, false, 500}},
                   kReply,
                   7500 + 2006},
             TCase{"an exception",
                   ftStandard,
                   {{Rtu({10, 0x83, 2}), 5}},
                   Rtu({10, 0x83, 2}),
                   5000 + 2006},
             TCase{"a wrong CRC at the length", ftStandard, {{longer, 5}}, longer, 5000 + 2006},
             TCase{"a wrong CRC at the length, the rest later",
                   ftStandard,
                   {{Bytes(longer.begin(), longer.begin() + 7), 5},
                    {Bytes(longer.begin() + 7, longer.end()), 6}},
                   longer,
                   6000 + 2006},
         }) {
        TExchange x;
        TFrameData received;
        x.Connection.OnFrameReceive = [&](TModbusConnection*, const TFrameData& d) {
            received = d;
        };
        x.Connection.SetFrameTiming(k.Timing);
        x.Open();
        x.Device->QueueAnswer(k.Answer);
        x.ReadOne();
        EXPECT_EQ(received, k.Received) << k.Name;
        const std::uint64_t ends = x.Silence * 1000 + k.EndsUs;
        EXPECT_EQ(ClockAfterTheRest(x, ends), ends) << k.Name;
    }
}

// In standard timing a client that has heard a server answer sleeps through
// the next exchange until a little before its reply is due (half a
// character), and is not woken by its first character. The replies here
// come 5, 5, 1, 1 and 20 ms after their requests. A server that answers
// sooner than before costs one reply seen late: the next is waited for as
// usual. One that answers later is waited for. Each reply is read whole,
// and the rest counts from when it was seen.
TEST(TransactionThread, StandardTimingSleepsUntilAKnownServerReplies) {
    TExchange x;
    x.Connection.SetFrameTiming(ftStandard);
    x.Open();
    const std::uint64_t halfCharacter = x.Connection.CharacterUs() / 2;
    struct TCase {
        std::uint32_t AfterMs;
        std::uint64_t SeenUs;  // after the send
    };
    std::uint64_t sent = x.Silence * 1000;
    int reads = 0;
    for (const TCase& k : {TCase{5, 5000}, TCase{5, 5000}, TCase{1, 5000 - halfCharacter},
                           TCase{1, 1000}, TCase{20, 20000}}) {
        x.Device->QueueAnswer({{kReply, k.AfterMs}});
        x.Connection.QueueTransaction(Request(x.Connection, &x.Client, 3, 32, 1), &x.Client);
        ++reads;
        ASSERT_TRUE(SpinUntil([&] { return x.Client.Done.size() == std::size_t(reads); }));
        EXPECT_EQ(x.Client.Done.back().Status, tsSuccess) << k.AfterMs;
        EXPECT_EQ(x.Client.Replies.back(), kReply) << k.AfterMs;
        sent += k.SeenUs + x.Connection.StandardQuietUs();
        EXPECT_EQ(ClockAfterTheRest(x, sent), sent) << reads;
    }
}

// Every function code's reply, exceptions included, ends at the length its
// code and byte count give: the character after it never joins the frame.
TEST(TransactionThread, StandardTimingKnowsTheLengthOfEachReply) {
    struct TCase {
        std::uint8_t Function;
        Bytes Reply;  // without the CRC
    };
    for (const TCase& k : {
             TCase{1, {10, 1, 1, 0x05}},
             TCase{2, {10, 2, 1, 0x03}},
             TCase{3, {10, 3, 2, 0, 42}},
             TCase{4, {10, 4, 4, 0, 42, 0, 43}},
             TCase{5, {10, 5, 0, 32, 0xFF, 0}},
             TCase{6, {10, 6, 0, 32, 0, 1}},
             TCase{7, {10, 7, 0x6D}},
             TCase{8, {10, 8, 0, 2, 0x12, 0x34}},
             TCase{11, {10, 11, 0, 0, 0, 5}},
             TCase{12, {10, 12, 8, 0, 0, 0, 5, 0, 7, 0x20, 0x00}},
             TCase{15, {10, 15, 0, 32, 0, 9}},
             TCase{16, {10, 16, 0, 32, 0, 2}},
             TCase{17, {10, 17, 3, 0x2A, 0xFF, 0x56}},
             TCase{20, {10, 20, 6, 5, 6, 0, 10, 0, 11}},
             TCase{21, {10, 21, 9, 6, 0, 4, 0, 1, 0, 1, 0, 7}},
             TCase{22, {10, 22, 0, 32, 0xFF, 0xF2, 0, 0x25}},
             TCase{23, {10, 23, 2, 0, 42}},
             TCase{24, {10, 24, 0, 6, 0, 2, 0, 1, 0, 2}},
             TCase{3, {10, 0x83, 2}},
             TCase{16, {10, 0x90, 4}},
         }) {
        TExchange x;
        TFrameData received;
        x.Connection.OnFrameReceive = [&](TModbusConnection*, const TFrameData& d) {
            received = d;
        };
        x.Connection.SetFrameTiming(ftStandard);
        x.Open();
        x.Device->QueueAnswer({{Concat(Rtu(k.Reply), Bytes{0xFF}), 5}});
        x.Connection.QueueTransaction(Request(x.Connection, &x.Client, k.Function, 0, 1),
                                      &x.Client);
        ASSERT_TRUE(SpinUntil([&] { return x.Client.Done.size() == 1; }));
        const int code = k.Reply[1];
        EXPECT_EQ(x.Client.Done[0].Status, code > 0x80 ? tsException : tsSuccess) << code;
        EXPECT_EQ(received, Rtu(k.Reply)) << code;
        // The reply at 5 ms, then the rest of 3.5 characters after it.
        const std::uint64_t rested = (x.Silence + 5) * 1000 + 2006;
        EXPECT_EQ(ClockAfterTheRest(x, rested), rested) << code;
    }
}

// Characters that keep coming after a complete reply are dropped, and the
// next send waits until the line has been quiet for 3.5 characters since
// the last of them, to the microsecond and never less: each stray character
// here comes 1 us before the rest would have been over.
TEST(TransactionThread, StandardTimingSendsOnlyAfterAQuietLine) {
    struct TCase {
        const char* Name;
        TBaudRate Rate;
        TParityScheme Parity;
        std::uint32_t QuietUs;
    };
    for (const TCase& k : {
             TCase{"19200 8E1", br19200, psEven, 2006},
             TCase{"19200 8N1", br19200, psNone, 1823},
             TCase{"9600 8E1", br9600, psEven, 4011},
             TCase{"115200 8E1, fixed above 19200", br115200, psEven, 1750},
         }) {
        TExchange x;
        x.Connection.SetFrameTiming(ftStandard);
        x.Connection.SetBaudRate(k.Rate);
        x.Connection.SetParity(k.Parity);
        x.Open();
        const std::uint32_t early = k.QuietUs - 1;
        x.Device->QueueAnswer({{Concat(kReply, Bytes{1, 2}), 5},
                               {Bytes{3}, 5, false, early},
                               {Bytes{4}, 5, false, 2 * early}});
        x.Device->QueueAnswer({{kReply, 5}});
        x.Connection.QueueTransaction(Request(x.Connection, &x.Client, 3, 32, 1), &x.Client);
        x.Connection.QueueTransaction(Request(x.Connection, &x.Client, 3, 32, 1), &x.Client);
        ASSERT_TRUE(SpinUntil([&] { return x.Client.Done.size() == 2; })) << k.Name;
        EXPECT_EQ(x.Client.Done[0].Status, tsSuccess) << k.Name;
        EXPECT_EQ(x.Client.Done[1].Status, tsSuccess) << k.Name;
        EXPECT_EQ(x.Client.Replies[0], kReply) << k.Name;
        EXPECT_EQ(x.Device->Writes().size(), 2u) << k.Name;
        // The first reply 5 ms after the first send, the last stray character
        // 2 * early later, the quiet, the second reply 5 ms after the second
        // send, and the rest after it.
        const std::uint64_t rested =
            x.Silence * 1000 + 5000 + 2 * early + k.QuietUs + 5000 + k.QuietUs;
        EXPECT_EQ(ClockAfterTheRest(x, rested), rested) << k.Name;
    }
}

// A gateway's stream parts a frame wherever the network does, so the line's
// rests mean nothing there: in either timing a reply whose length its
// function code does not give stays whole across a pause of 10 ms.
TEST(TransactionThread, ThroughAGatewayAPausedReplyStaysWholeInEitherTiming) {
    const Bytes reply = Rtu({10, 0x41, 1, 2, 3});
    for (const TFrameTiming timing : {ftGap, ftStandard}) {
        TExchange x;
        TFrameData received;
        x.Connection.OnFrameReceive = [&](TModbusConnection*, const TFrameData& d) {
            received = d;
        };
        x.Connection.SetPort("tcp://127.0.0.1:1502");
        x.Connection.SetFrameTiming(timing);
        x.Open();
        x.Device->QueueAnswer({{Bytes(reply.begin(), reply.begin() + 3), 5},
                               {Bytes(reply.begin() + 3, reply.end()), 15}});
        x.Connection.QueueTransaction(Request(x.Connection, &x.Client, 0x41, 0, 1), &x.Client);
        ASSERT_TRUE(SpinUntil([&] { return x.Client.Done.size() == 1; }));
        EXPECT_EQ(x.Client.Done[0].Status, tsSuccess) << int(timing);
        EXPECT_EQ(received, reply) << int(timing);
    }
}

TEST(TransactionThread, ChunksWithinTheGapMakeOneFrame) {
    TExchange x;
    x.Open();
    x.Device->QueueAnswer({{Bytes(kReply.begin(), kReply.begin() + 3), 5},
                           {Bytes(kReply.begin() + 3, kReply.end()), 19}});
    EXPECT_EQ(x.ReadOne().Status, tsSuccess);
}

TEST(TransactionThread, AGapLongerThanSilentMsEndsTheFrame) {
    TExchange x;
    x.Open();
    x.Device->QueueAnswer({{Bytes(kReply.begin(), kReply.begin() + 3), 5},
                           {Bytes(kReply.begin() + 3, kReply.end()), 30}});
    EXPECT_EQ(x.ReadOne().Status, tsBadFrame);
}

TEST(TransactionThread, AWriteThatCannotCompleteIsAbortedAndRetried) {
    TExchange x;
    x.Connection.SetMaxRetries(2);
    x.Connection.SetSendTimeout(300);
    x.Connection.SetReceiveTimeout(200);
    x.Open();
    x.Device->ScriptWrites(platform::swHang);
    x.Device->QueueAnswer({{kReply, 5}});
    const TTransactionInfo info = x.ReadOne();
    EXPECT_EQ(info.Status, tsSuccess);
    EXPECT_EQ(info.Attempts, 2);
    EXPECT_EQ(x.Device->WriteAttempts(), 2);
    EXPECT_GE(x.Device->TransmitPurges(), 1);
    EXPECT_EQ(x.Device->Queued(), 0u);
}

TEST(TransactionThread, AVanishedPortEndsAttemptsAfterTheirTimeOut) {
    TExchange x;
    x.Connection.SetMaxRetries(2);
    x.Connection.SetReceiveTimeout(250);
    x.Open();
    ASSERT_TRUE(SpinUntil([&] { return x.Device->Tick() == x.Silence; }));
    x.Device->Vanish();
    const TTransactionInfo info = x.ReadOne();
    EXPECT_EQ(info.Status, tsNoReply);
    EXPECT_EQ(info.Attempts, 2);
    // No attempt ends before its time-out: the thread never spins.
    EXPECT_EQ(x.Device->Tick(), x.Silence + 2 * 250);
}

TEST(TransactionThread, ASCIINoiseBeforeTheColonIsDropped) {
    TExchange x(tmASCII);
    TFrameData received;
    x.Connection.OnFrameReceive = [&](TModbusConnection*, const TFrameData& d) { received = d; };
    x.Open();
    const Bytes reply = Ascii({10, 3, 2, 0, 42});
    x.Device->QueueAnswer({{Concat(Chars("\x01noise:0A\r"), reply), 5}});
    const TTransactionInfo info = x.ReadOne();
    EXPECT_EQ(info.Status, tsSuccess);
    EXPECT_EQ(received, reply);
    EXPECT_EQ(x.Client.Replies.at(0), (Bytes{10, 3, 2, 0, 42, 0xC7}));
}

TEST(TransactionThread, ASCIIFramesEndOnlyAtCRLF) {
    struct TCase {
        const char* Name;
        std::vector<TScriptedChunk> Answer;
        TTransactionStatus Status;
    };
    const Bytes reply = Ascii({10, 3, 2, 0, 42});
    const Bytes open(reply.begin(), reply.end() - 2);
    for (const TCase& k : {
             TCase{"split over chunks",
                   {{Bytes(reply.begin(), reply.begin() + 5), 5},
                    {Bytes(reply.begin() + 5, reply.end()), 10}},
                   tsSuccess},
             TCase{"no CR LF before the gap", {{open, 5}}, tsNoReply},
             TCase{"CR without LF", {{Concat(open, Chars("\rX")), 5}}, tsNoReply},
             TCase{"a new colon restarts", {{Concat(open, reply), 5}}, tsSuccess},
             TCase{"colon, CR, LF only", {{Chars(":\r\n"), 5}}, tsBadFrame},
             TCase{"lower-case digits", {{Chars(":0a0302002ac7\r\n"), 5}}, tsBadFrame},
             TCase{"a foreign reply just before ours, in one chunk",
                   {{Concat(Ascii({11, 3, 2, 0, 7}), reply), 5}},
                   tsSuccess},
             TCase{"a frame longer than any", {{Concat(open, Bytes(600, '0')), 5}}, tsBadFrame},
         }) {
        TExchange x(tmASCII);
        x.Open();
        x.Device->QueueAnswer(k.Answer);
        EXPECT_EQ(x.ReadOne().Status, k.Status) << k.Name;
    }
}

TEST(TransactionThread, RTSIsRaisedOnlyAroundTheWrite) {
    TExchange x;
    x.Connection.SetFlowControl(fcRtsToggle);
    x.Open();
    x.Device->QueueAnswer({{kReply, 5}});
    EXPECT_EQ(x.ReadOne().Status, tsSuccess);
    EXPECT_EQ(x.Device->RtsChanges(), (std::vector<bool>{true, false}));
    EXPECT_EQ(x.Device->Drains(), 2);
}

TEST(TransactionThread, AnUnencodableRequestIsShownAndTheQueueGoesOn) {
    TRecordedMessages messages;
    TExchange x(tmASCII);
    x.Open();
    // 255 bytes are the most an ASCII frame holds; a frame of 256 would not
    // fit: build one past the check by hand.
    auto bad = std::make_unique<TModbusTransaction>(256);
    bad->Info.ServerAddress = 10;
    bad->Request.SetSize(256);
    x.Connection.QueueTransaction(std::move(bad), &x.Client);
    x.Device->QueueAnswer({{Ascii({10, 3, 2, 0, 42}), 5}});
    const TTransactionInfo info = x.ReadOne();
    EXPECT_EQ(info.Status, tsSuccess);
    EXPECT_EQ(messages.Texts, (std::vector<std::string>{"Failed to encode frame"}));
}

TEST(TransactionThread, CancellingDuringAWaitLeavesTheTransactionInHand) {
    TExchange x;
    x.Hold = true;
    TRecordingClient other(11);
    x.Connection.RegisterClient(&other);
    x.Open();
    PassSilence(x);
    x.Connection.QueueTransaction(Request(x.Connection, &x.Client, 3, 32, 1), &x.Client);
    ASSERT_TRUE(WaitInReply(x, 1));
    x.Connection.QueueTransaction(Request(x.Connection, &x.Client, 3, 33, 1), &x.Client);
    x.Connection.QueueTransaction(Request(x.Connection, &other, 3, 32, 1), &other);
    x.Connection.QueueTransaction(Request(x.Connection, &x.Client, 3, 34, 1), &x.Client);
    x.Connection.CancelTransactions(&x.Client);
    EXPECT_EQ(x.Connection.PendingTransactions(), 1);
    x.Connection.CancelTransactions(nullptr);
    EXPECT_EQ(x.Connection.PendingTransactions(), 0);
    // A read queued afterwards completes behind anything still on its way.
    x.Connection.QueueTransaction(Request(x.Connection, &other, 3, 40, 1), &other);
    ASSERT_TRUE(RunOut(x, [&] { return other.Done.size() == 1; }));
    EXPECT_EQ(x.Client.Done.size(), 1u);
    EXPECT_EQ(x.Client.Done[0].Status, tsNoReply);
    // Only the one in hand and the later read went on the line.
    EXPECT_EQ(x.Device->Writes(),
              (std::vector<Bytes>{Rtu({10, 3, 0, 32, 0, 1}), Rtu({11, 3, 0, 40, 0, 1})}));
}

TEST(TransactionThread, CloseReturnsOnlyAfterTheTransactionInHand) {
    TExchange x;
    x.Hold = true;
    x.Connection.SetMaxRetries(2);
    x.Open();
    PassSilence(x);
    x.Connection.QueueTransaction(Request(x.Connection, &x.Client, 3, 32, 1), &x.Client);
    x.Connection.QueueTransaction(Request(x.Connection, &x.Client, 3, 33, 1), &x.Client);
    ASSERT_TRUE(WaitInReply(x, 1));
    std::atomic<int> advanced{0};
    std::thread clock([&] {
        // Both attempts of the first transaction wait for their time-out.
        for (int i = 0; i < 2; ++i) {
            WaitInReply(x, i + 1);
            std::this_thread::sleep_for(std::chrono::milliseconds(50));
            advanced.fetch_add(1);
            x.Device->Advance(1000);
        }
    });
    x.Connection.Close();
    EXPECT_EQ(advanced.load(), 2);
    clock.join();
    EXPECT_FALSE(x.Connection.Active());
    DeliverPosted();
    // Finished after the close began: no event; the second was never sent.
    EXPECT_TRUE(x.Client.Done.empty());
}

TEST(TransactionThread, AnErrorHandedOverWhileClosingDoesNotDeadlock) {
    TRecordedMessages messages;
    TExchange x(tmASCII);
    x.Open();
    auto bad = std::make_unique<TModbusTransaction>(256);
    bad->Info.ServerAddress = 10;
    bad->Request.SetSize(256);
    x.Connection.QueueTransaction(std::move(bad), &x.Client);
    // Without an event loop running, the thread soon blocks in its
    // hand-over of the error; the close must serve it.
    std::this_thread::sleep_for(std::chrono::milliseconds(500));
    x.Connection.Close();
    EXPECT_EQ(messages.Texts, (std::vector<std::string>{"Failed to encode frame"}));
}

// A live change waits for the attempt in hand only, not for the retries of
// its transaction; it applies from the next send on.
TEST(TransactionThread, ALiveSpeedChangeWaitsForTheAttemptInHand) {
    TExchange x;
    x.Hold = true;
    x.Connection.SetMaxRetries(3);
    x.Open();
    PassSilence(x);
    x.Connection.QueueTransaction(Request(x.Connection, &x.Client, 3, 32, 1), &x.Client);
    ASSERT_TRUE(WaitInReply(x, 1));
    std::atomic<bool> changing{false}, changed{false};
    std::thread clock([&] {
        while (!changing)
            std::this_thread::yield();
        // Time for the main thread to hand the change over and wait.
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
        x.Device->Advance(1000);
        for (int attempt = 2; attempt <= 3; ++attempt) {
            WaitInReply(x, attempt);
            for (int i = 0; i < 500 && !changed; ++i)
                std::this_thread::sleep_for(std::chrono::milliseconds(10));
            x.Device->Advance(1000);
        }
    });
    changing = true;
    x.Connection.SetBaudRate(br9600);
    const int sendsBeforeTheChange = x.Device->WriteAttempts();
    changed = true;
    clock.join();
    EXPECT_LE(sendsBeforeTheChange, 2);
    EXPECT_EQ(x.Device->Settings().BitRate, 9600u);
    ASSERT_TRUE(SpinUntil([&] { return x.Client.Done.size() == 1; }));
    EXPECT_EQ(x.Client.Done[0].Attempts, 3);
}

// Server mode: requests are answered on the main thread by the registered
// server; a broadcast reaches every server and is not answered.
class TEchoServer : public TModbusServerLink {
  public:
    explicit TEchoServer(std::uint8_t address) : Address(address) {}
    bool AnswersAddress(std::uint8_t address) const override { return address == Address; }
    void HandleRequest(TModbusTransaction& t) override {
        EXPECT_TRUE(platform::IsMainThread());
        ++Handled;
        // Answer a write of one register with the request itself.
        t.Reply.WriteBytes(t.Request.Bytes().data(), t.Request.Size());
    }
    std::uint8_t Address;
    int Handled = 0;
};

TEST(TransactionThreadServer, AnswersRequestsForItsServersOnly) {
    TScriptedLine line;
    TEchoServer ten(10), eleven(11);
    line.Connection.SetConnectionMode(cmServer);
    line.Connection.RegisterServer(&ten);
    line.Connection.RegisterServer(&eleven);
    line.Connection.Open();
    const Bytes write = Rtu({11, 6, 0, 33, 0, 7});
    line.Device->QueueInput({Rtu({0, 6, 0, 33, 0, 7}), 30});
    line.Device->QueueInput({Rtu({12, 6, 0, 33, 0, 7}), 60});
    line.Device->QueueInput({write, 90});
    ASSERT_TRUE(SpinUntil([&] { return !line.Device->Writes().empty(); }));
    EXPECT_EQ(line.Device->Writes(), (std::vector<Bytes>{write}));
    EXPECT_EQ(ten.Handled, 1);
    EXPECT_EQ(eleven.Handled, 2);
    line.Connection.Close();  // ends the wait for the next request
}

// A server in standard timing answers once the request's length has arrived
// and the line has rested 3.5 characters, not after a gap of 20 ms.
TEST(TransactionThreadServer, StandardTimingAnswersAtTheRequestsLength) {
    for (const TFrameTiming timing : {ftGap, ftStandard}) {
        TScriptedLine line;
        TEchoServer eleven(11);
        line.Connection.SetConnectionMode(cmServer);
        line.Connection.SetFrameTiming(timing);
        line.Connection.RegisterServer(&eleven);
        line.Connection.Open();
        const Bytes write = Rtu({11, 6, 0, 33, 0, 7});
        line.Device->QueueInput({write, 30});
        ASSERT_TRUE(SpinUntil([&] { return !line.Device->Writes().empty(); }));
        ASSERT_TRUE(line.Device->WaitUntilBlocked());
        EXPECT_EQ(line.Device->TickUs(), timing == ftGap ? 30000u + 20000u : 30000u + 2006u)
            << int(timing);
        line.Connection.Close();
    }
}

// Whatever the line carries, the server loop drops it and answers the next
// valid request: noise longer than any frame, an over-long frame, a line
// error, and a request that comes the moment the port is open.
TEST(TransactionThreadServer, DropsBrokenRunsAndAnswersTheNextRequest) {
    struct TCase {
        const char* Name;
        TTransmissionMode Mode;
        std::vector<TScriptedChunk> Noise;
    };
    std::vector<TScriptedChunk> chunks;
    for (std::uint32_t at = 5; at < 200; at += 5)
        chunks.push_back({Bytes(40, 0x55), at});
    for (const TCase& k : {
             TCase{"300 characters of noise", tmRTU, {{Bytes(300, 0x55), 5}}},
             TCase{
                 "a frame of 257 bytes", tmRTU, {{Concat(Rtu(Bytes(200, 11)), Bytes(57, 11)), 5}}},
             TCase{"noise that outgrows a frame chunk by chunk", tmRTU, chunks},
             TCase{"a parity error", tmRTU, {{Bytes(10, 0x55), 5, true}}},
             TCase{"a request in the first moment", tmRTU, {}},
             TCase{"ASCII noise", tmASCII, {{Bytes(600, 'x'), 5}}},
             TCase{
                 "an ASCII frame without end", tmASCII, {{Concat(Chars(":"), Bytes(600, '0')), 5}}},
             TCase{"an ASCII line error", tmASCII, {{Chars(":0B06"), 5, true}}},
         }) {
        TScriptedLine line(k.Mode);
        TEchoServer eleven(11);
        line.Connection.SetConnectionMode(cmServer);
        line.Connection.RegisterServer(&eleven);
        line.Connection.Open();
        const Bytes request =
            k.Mode == tmRTU ? Rtu({11, 6, 0, 33, 0, 7}) : Ascii({11, 6, 0, 33, 0, 7});
        std::uint32_t last = 0;
        for (const TScriptedChunk& chunk : k.Noise) {
            line.Device->QueueInput(chunk);
            last = std::max(last, chunk.AfterMs);
        }
        line.Device->QueueInput({request, k.Noise.empty() ? 0 : last + 100});
        ASSERT_TRUE(SpinUntil([&] { return !line.Device->Writes().empty(); })) << k.Name;
        EXPECT_EQ(line.Device->Writes(), (std::vector<Bytes>{request})) << k.Name;
        EXPECT_EQ(eleven.Handled, 1) << k.Name;
        line.Connection.Close();
    }
}

}  // namespace
}  // namespace regwire::test
