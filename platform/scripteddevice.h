// An in-memory serial line for tests that need exact timing and line faults.
//
// The test scripts what arrives (chunks at given ticks, answers to the next
// write, parity errors on a chunk), how writes end (complete, hang, fail),
// and reads back what the device saw: every write, the purges, the RTS
// changes, the settings applied.
//
// Time is the device's own clock, counted in microseconds so that the rests
// of standard frame timing (2.006 ms at 19200 bit/s) show exactly; Tick() is
// its millisecond reading. A test never depends on the machine's speed. Two
// ways to run it:
// - free-running (the default): a wait moves the clock straight to the next
//   arrival, or to its deadline when nothing arrives within its time-out, and
//   returns at once; a hanging write moves it by the write's time-out. A whole
//   exchange runs in no real time and always the same way.
// - held (HoldClock): only Advance() moves the clock. Waits and hanging writes
//   block until the clock reaches their deadline or their data arrives, so a
//   test can act while the worker is inside a wait (WaitUntilBlocked tells it
//   when).
// A wait with kWaitForever blocks in both ways until data arrives or it is cut
// short (on a vanished port only the latter, as on a real one).
//
// Thread-safe: the worker thread uses the TSerialDevice side while the test
// thread scripts and inspects; waits sleep on a condition variable.
#pragma once

#include "platform/serialdevice.h"

#include <chrono>
#include <condition_variable>
#include <deque>
#include <map>
#include <mutex>
#include <vector>

namespace platform {

using TBytes = std::vector<uint8_t>;

struct TScriptedChunk {
    TBytes Data;
    uint32_t AfterMs = 0;    // arrival, counted from when it is scheduled (see below)
    bool LineError = false;  // the chunk arrives with a parity error
    uint32_t AfterUs = 0;    // microseconds added to AfterMs
};

enum TScriptedWrite { swComplete, swHang, swFail };

class TScriptedSerialDevice final : public TSerialDevice {
  public:
    explicit TScriptedSerialDevice(uint32_t startTick = 0);

    // --- Scripting (any thread) ---

    // The chunk arrives `AfterMs` (and `AfterUs`) after the current time.
    void QueueInput(TScriptedChunk chunk);
    // One answer per completed write, in order: the chunks of the next answer
    // arrive `AfterMs` after the write that takes it completed. An empty
    // answer lets a write go unanswered.
    void QueueAnswer(std::vector<TScriptedChunk> chunks);
    // The next `count` writes end as `outcome` instead of completing. A
    // hanging write takes its whole time-out (with kWaitForever it hangs
    // until the port vanishes), then counts a transmit purge and fails.
    void ScriptWrites(TScriptedWrite outcome, int count = 1);
    // Each completed write comes back on the receive side at once, as on a
    // two-wire RS-485 line that hears its own transmitter.
    void SetEcho(bool on);
    // ApplySettings raises seSettingRefused while set.
    void SetRefuseSettings(bool on);
    // The port is gone (adapter pulled): counts and reads fail, writes fail,
    // waits sleep their time-out on the clock.
    void Vanish();

    void HoldClock();
    void Advance(uint32_t ms);
    // Blocks until a wait or hanging write is blocked on the device (held
    // clock, kWaitForever), or until `limit` real time passed: false then.
    bool WaitUntilBlocked(std::chrono::milliseconds limit = std::chrono::seconds(10));

    // --- Inspection (any thread) ---

    std::vector<TBytes> Writes() const;  // completed writes, in order
    int WriteAttempts() const;
    int ReceivePurges() const;
    int TransmitPurges() const;  // including those of abandoned writes
    std::vector<bool> RtsChanges() const;
    int Drains() const;
    TSerialLineSettings Settings() const;
    int SettingsApplied() const;
    size_t Queued() const;  // received characters that have arrived by now

    // --- TSerialDevice (the worker) ---

    void ApplySettings(const TSerialLineSettings& settings) override;
    bool WaitForInput(uint32_t timeoutMs) override;
    void CutShortWait() override;
    bool GetInputCount(size_t& count) override;
    bool Read(uint8_t* buffer, size_t count) override;
    bool Write(const uint8_t* data, size_t count, uint32_t timeoutMs) override;
    void Purge(bool receive, bool transmit) override;
    bool SetRts(bool on) override;
    bool Drain() override;
    uint32_t Tick() const override;
    uint64_t TickUs() const override;
    bool WaitForInputUs(uint64_t timeoutUs) override;
    void Doze(uint64_t us) override;

  private:
    using TLock = std::unique_lock<std::mutex>;
    enum TWaitEnd { weArrived, weDeadline, weCutShort, weVanished };

    void Schedule(uint64_t at, TScriptedChunk chunk);
    void Deliver();
    TWaitEnd WaitUntil(TLock& lock, uint64_t deadline, bool noLimit, bool forData);
    void Block(TLock& lock);

    mutable std::mutex Mutex_;
    std::condition_variable Changed_;
    uint64_t Now_;  // microseconds
    bool Held_ = false;
    bool Echo_ = false;
    bool RefuseSettings_ = false;
    bool Vanished_ = false;
    bool CutShort_ = false;
    bool LineError_ = false;
    int Blocked_ = 0;
    std::multimap<uint64_t, TScriptedChunk> Pending_;  // by arrival; equal times keep their order
    std::deque<uint8_t> Input_;
    std::deque<std::vector<TScriptedChunk>> Answers_;
    std::deque<TScriptedWrite> WriteOutcomes_;
    std::vector<TBytes> Writes_;
    int WriteAttempts_ = 0;
    int ReceivePurges_ = 0;
    int TransmitPurges_ = 0;
    std::vector<bool> RtsChanges_;
    int Drains_ = 0;
    TSerialLineSettings Settings_;
    int SettingsApplied_ = 0;
};

}  // namespace platform
