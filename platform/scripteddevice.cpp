#include "platform/scripteddevice.h"

#include <algorithm>

namespace platform {

namespace {

constexpr uint64_t kUsPerMs = 1000;

uint64_t ArrivalUs(const TScriptedChunk& chunk) {
    return uint64_t{chunk.AfterMs} * kUsPerMs + chunk.AfterUs;
}

}  // namespace

TScriptedSerialDevice::TScriptedSerialDevice(uint32_t startTick)
    : Now_(uint64_t{startTick} * kUsPerMs) {}

// --- Scripting ---

void TScriptedSerialDevice::QueueInput(TScriptedChunk chunk) {
    std::lock_guard lock(Mutex_);
    const uint64_t at = Now_ + ArrivalUs(chunk);
    Schedule(at, std::move(chunk));
    Changed_.notify_all();
}

void TScriptedSerialDevice::QueueAnswer(std::vector<TScriptedChunk> chunks) {
    std::lock_guard lock(Mutex_);
    Answers_.push_back(std::move(chunks));
}

void TScriptedSerialDevice::ScriptWrites(TScriptedWrite outcome, int count) {
    std::lock_guard lock(Mutex_);
    WriteOutcomes_.insert(WriteOutcomes_.end(), std::max(count, 0), outcome);
}

void TScriptedSerialDevice::SetEcho(bool on) {
    std::lock_guard lock(Mutex_);
    Echo_ = on;
}

void TScriptedSerialDevice::SetRefuseSettings(bool on) {
    std::lock_guard lock(Mutex_);
    RefuseSettings_ = on;
}

void TScriptedSerialDevice::Vanish() {
    std::lock_guard lock(Mutex_);
    Vanished_ = true;
    Changed_.notify_all();
}

void TScriptedSerialDevice::HoldClock() {
    std::lock_guard lock(Mutex_);
    Held_ = true;
}

void TScriptedSerialDevice::Advance(uint32_t ms) {
    std::lock_guard lock(Mutex_);
    Now_ += uint64_t{ms} * kUsPerMs;
    Changed_.notify_all();
}

bool TScriptedSerialDevice::WaitUntilBlocked(std::chrono::milliseconds limit) {
    TLock lock(Mutex_);
    return Changed_.wait_for(lock, limit, [this] { return Blocked_ > 0; });
}

// --- Inspection ---

std::vector<TBytes> TScriptedSerialDevice::Writes() const {
    std::lock_guard lock(Mutex_);
    return Writes_;
}

int TScriptedSerialDevice::WriteAttempts() const {
    std::lock_guard lock(Mutex_);
    return WriteAttempts_;
}

int TScriptedSerialDevice::ReceivePurges() const {
    std::lock_guard lock(Mutex_);
    return ReceivePurges_;
}

int TScriptedSerialDevice::TransmitPurges() const {
    std::lock_guard lock(Mutex_);
    return TransmitPurges_;
}

std::vector<bool> TScriptedSerialDevice::RtsChanges() const {
    std::lock_guard lock(Mutex_);
    return RtsChanges_;
}

int TScriptedSerialDevice::Drains() const {
    std::lock_guard lock(Mutex_);
    return Drains_;
}

TSerialLineSettings TScriptedSerialDevice::Settings() const {
    std::lock_guard lock(Mutex_);
    return Settings_;
}

int TScriptedSerialDevice::SettingsApplied() const {
    std::lock_guard lock(Mutex_);
    return SettingsApplied_;
}

size_t TScriptedSerialDevice::Queued() const {
    std::lock_guard lock(Mutex_);
    size_t count = Input_.size();
    for (auto it = Pending_.begin(); it != Pending_.end() && it->first <= Now_; ++it) {
        count += it->second.Data.size();
    }
    return count;
}

// --- Clock and arrivals ---

void TScriptedSerialDevice::Schedule(uint64_t at, TScriptedChunk chunk) {
    Pending_.emplace(at, std::move(chunk));  // after any chunk of the same time
}

void TScriptedSerialDevice::Deliver() {
    while (!Pending_.empty() && Pending_.begin()->first <= Now_) {
        const TScriptedChunk& chunk = Pending_.begin()->second;
        Input_.insert(Input_.end(), chunk.Data.begin(), chunk.Data.end());
        LineError_ = LineError_ || chunk.LineError;
        Pending_.erase(Pending_.begin());
    }
}

void TScriptedSerialDevice::Block(TLock& lock) {
    ++Blocked_;
    Changed_.notify_all();
    Changed_.wait(lock);
    --Blocked_;
}

// Moves the clock (free-running) or sleeps (held clock, no limit) until data
// arrives, the deadline passes, the wait is cut short or the port vanishes.
TScriptedSerialDevice::TWaitEnd TScriptedSerialDevice::WaitUntil(TLock& lock, uint64_t deadline,
                                                                 bool forever, bool forData) {
    for (;;) {
        Deliver();
        if (forData && CutShort_) {
            CutShort_ = false;
            return weCutShort;
        }
        if (!forData && Vanished_)
            return weVanished;
        if (forData && !Vanished_ && !Input_.empty())
            return weArrived;
        if (!forever && Now_ >= deadline)
            return weDeadline;
        if (!Held_) {
            const bool arrival = forData && !Vanished_ && !Pending_.empty();
            const uint64_t next = arrival ? Pending_.begin()->first : 0;
            if (arrival && (forever || next <= deadline)) {
                Now_ = std::max(Now_, next);
                continue;
            }
            if (!forever) {
                Now_ = deadline;
                continue;
            }
        }
        Block(lock);
    }
}

// --- TSerialDevice ---

void TScriptedSerialDevice::ApplySettings(const TSerialLineSettings& settings) {
    CheckLineSettings(settings);
    std::lock_guard lock(Mutex_);
    if (RefuseSettings_) {
        throw ESerialError(seSettingRefused, 0, "scripted port: the port refused line settings");
    }
    Settings_ = settings;
    ++SettingsApplied_;
}

bool TScriptedSerialDevice::WaitForInput(uint32_t timeoutMs) {
    TLock lock(Mutex_);
    const bool forever = timeoutMs == kWaitForever;
    return WaitUntil(lock, Now_ + uint64_t{timeoutMs} * kUsPerMs, forever, true) == weArrived;
}

bool TScriptedSerialDevice::WaitForInputUs(uint64_t timeoutUs) {
    TLock lock(Mutex_);
    return WaitUntil(lock, Now_ + timeoutUs, false, true) == weArrived;
}

// A doze takes its whole time on the clock, whatever arrives meanwhile; it
// ends early only when cut short, which the wait after it then takes.
void TScriptedSerialDevice::Doze(uint64_t us) {
    TLock lock(Mutex_);
    const uint64_t deadline = Now_ + us;
    while (!CutShort_ && !Vanished_ && Now_ < deadline) {
        if (Held_)
            Block(lock);
        else
            Now_ = deadline;
    }
    Deliver();
}

void TScriptedSerialDevice::CutShortWait() {
    std::lock_guard lock(Mutex_);
    CutShort_ = true;
    Changed_.notify_all();
}

bool TScriptedSerialDevice::GetInputCount(size_t& count) {
    std::lock_guard lock(Mutex_);
    Deliver();
    count = Input_.size();
    const bool lineError = LineError_;
    LineError_ = false;
    return !lineError && !Vanished_;
}

bool TScriptedSerialDevice::Read(uint8_t* buffer, size_t count) {
    std::lock_guard lock(Mutex_);
    Deliver();
    if (Input_.size() < count)
        return false;
    const auto end = Input_.begin() + static_cast<std::ptrdiff_t>(count);
    std::copy(Input_.begin(), end, buffer);
    Input_.erase(Input_.begin(), end);
    const bool lineError = LineError_;
    LineError_ = false;
    return !lineError && !Vanished_;
}

bool TScriptedSerialDevice::Write(const uint8_t* data, size_t count, uint32_t timeoutMs) {
    TLock lock(Mutex_);
    ++WriteAttempts_;
    TScriptedWrite outcome = swComplete;
    if (!WriteOutcomes_.empty()) {
        outcome = WriteOutcomes_.front();
        WriteOutcomes_.pop_front();
    }
    if (Vanished_ || outcome == swFail)
        return false;
    if (outcome == swHang) {
        const bool forever = timeoutMs == kWaitForever;
        if (WaitUntil(lock, Now_ + uint64_t{timeoutMs} * kUsPerMs, forever, false) == weDeadline)
            ++TransmitPurges_;
        return false;
    }

    Writes_.emplace_back(data, data + count);
    if (Echo_)
        Schedule(Now_, TScriptedChunk{Writes_.back(), 0, false});
    if (!Answers_.empty()) {
        for (TScriptedChunk& chunk : Answers_.front())
            Schedule(Now_ + ArrivalUs(chunk), chunk);
        Answers_.pop_front();
    }
    Changed_.notify_all();
    return true;
}

void TScriptedSerialDevice::Purge(bool receive, bool transmit) {
    std::lock_guard lock(Mutex_);
    if (receive) {
        Deliver();
        Input_.clear();
        LineError_ = false;
        ++ReceivePurges_;
    }
    if (transmit)
        ++TransmitPurges_;
}

bool TScriptedSerialDevice::SetRts(bool on) {
    std::lock_guard lock(Mutex_);
    RtsChanges_.push_back(on);
    return true;
}

bool TScriptedSerialDevice::Drain() {
    std::lock_guard lock(Mutex_);
    ++Drains_;
    return !Vanished_;
}

uint32_t TScriptedSerialDevice::Tick() const {
    std::lock_guard lock(Mutex_);
    return static_cast<uint32_t>(Now_ / kUsPerMs);
}

uint64_t TScriptedSerialDevice::TickUs() const {
    std::lock_guard lock(Mutex_);
    return Now_;
}

}  // namespace platform
