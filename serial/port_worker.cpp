#include "port_worker.h"

#include <algorithm>

namespace {

constexpr DWORD kPurgeInput = PURGE_RXABORT | PURGE_RXCLEAR;
constexpr DWORD kPurgeOutput = PURGE_TXABORT | PURGE_TXCLEAR;
constexpr DWORD kIdlePauseMs = 1;
constexpr DWORD kBusyPauseMs = 20;
constexpr int32_t kMaxReadBytes = 255;
constexpr int kMaxFailedWrites = 5;
// A device that keeps accepting calls but takes no bytes must not hold the
// worker forever.
constexpr int kMaxWritesWithoutProgress = 5;
// A window this full when it reaches the buffer's end is given up whole.
constexpr int32_t kWindowDropThreshold = 100;

// State private to the worker thread.
struct WorkerState {
    bool pendingRead = false;
    bool leave = false;
    int32_t bytesRead = 0;
    // The last read was cut short by the room or the read limit while more
    // bytes waited at the device: the recogniser is not asked about a window
    // that may end inside a burst, lest an older frame win over a newer one.
    bool leftQueued = false;
    // Bytes read while more waited, not yet shown to the recogniser.
    bool askPending = false;
    DWORD pause = kIdlePauseMs;
};

}  // namespace

void growWindow(PortSlot& slot, int32_t bytesRead) {
    int32_t newCount = slot.rxCount + bytesRead;
    if (slot.rxStart + newCount >= kRxWindowLimit) {
        if (newCount >= kWindowDropThreshold) {
            newCount = 0;
        } else {
            for (int32_t i = 0; i < newCount; ++i) slot.rxBuffer[i] = slot.rxBuffer[slot.rxStart + i];
        }
        slot.rxStart = 0;
    }
    slot.rxCount = newCount;
}

namespace {

HANDLE devicePort(PortSlot& slot) { return slot.hPort.load(std::memory_order_acquire); }

// Sends txBuffer; leaves writeError 0 when every byte went out.
void writeMessage(PortSlot& slot, HANDLE port) {
    const int32_t length = slot.txLength;
    int32_t sent = 0;
    int failedStreak = 0;
    int withoutProgress = 0;
    do {
        DWORD written = 0;
        if (WriteFile(port, slot.txBuffer + sent, static_cast<DWORD>(length - sent), &written, nullptr)) {
            slot.writeError.store(0, std::memory_order_relaxed);
            sent += static_cast<int32_t>(written);
            failedStreak = 0;
            withoutProgress = written == 0 ? withoutProgress + 1 : 0;
        } else {
            slot.writeError.store(GetLastError(), std::memory_order_relaxed);
            PurgeComm(port, kPurgeOutput);
            ++failedStreak;
            ++withoutProgress;
        }
    } while (sent < length && failedStreak < kMaxFailedWrites && withoutProgress < kMaxWritesWithoutProgress);
    if (sent < length && slot.writeError.load(std::memory_order_relaxed) == 0) {
        slot.writeError.store(ERROR_WRITE_FAULT, std::memory_order_relaxed);
    }
}

// Reports the write to the waiting caller, unless the caller gave up on it
// while it was under way.
void finishWrite(PortSlot& slot) {
    uint8_t taken = kHandoverTaken;
    if (slot.writeRequested.compare_exchange_strong(taken, kHandoverDone, std::memory_order_acq_rel)) {
        if (!SetEvent(slot.hWriteDone)) slot.writeError.store(GetLastError(), std::memory_order_release);
    } else {
        slot.writeRequested.store(kHandoverIdle, std::memory_order_release);
    }
}

void writeStep(PortSlot& slot, WorkerState& state) {
    uint8_t raised = kHandoverRaised;
    if (!slot.writeRequested.compare_exchange_strong(raised, kHandoverTaken, std::memory_order_acq_rel)) {
        return;
    }
    HANDLE port = devicePort(slot);
    PurgeComm(port, kPurgeInput);  // a reply can only come after this command
    ClearCommError(port, nullptr, nullptr);
    writeMessage(slot, port);
    // The reply starts a new window at the buffer's start, so the whole
    // buffer is room for it whatever earlier replies used.
    slot.rxStart = 0;
    slot.rxCount = 0;
    state.askPending = false;
    finishWrite(slot);
    Sleep(kBusyPauseMs);
}

void readStep(PortSlot& slot, WorkerState& state) {
    state.bytesRead = 0;
    state.leftQueued = false;
    if (state.pendingRead) return;
    const int32_t end = slot.rxStart + slot.rxCount;
    const int32_t room = std::min(kRxWindowLimit - end, kMaxReadBytes);
    HANDLE port = devicePort(slot);
    COMSTAT status{};
    if (!ClearCommError(port, nullptr, &status)) {
        // A device that is gone (unplugged, hung up) will not answer: that
        // takes the error path, which ends a reply's wait at once.
        if (GetLastError() == ERROR_DEVICE_NOT_CONNECTED) {
            slot.readError.store(ERROR_DEVICE_NOT_CONNECTED, std::memory_order_release);
        }
        return;
    }
    if (status.cbInQue == 0 || room <= 0) return;

    DWORD got = 0;
    DWORD wanted = std::min<DWORD>(status.cbInQue, static_cast<DWORD>(room));
    if (ReadFile(port, slot.rxBuffer + end, wanted, &got, nullptr)) {
        state.bytesRead = static_cast<int32_t>(got);
        state.leftQueued = wanted < status.cbInQue;
        return;
    }
    DWORD error = GetLastError();
    if (error == ERROR_IO_PENDING) {
        state.pendingRead = true;
        state.bytesRead = static_cast<int32_t>(got);
        return;
    }
    slot.readError.store(error, std::memory_order_release);
    PurgeComm(port, kPurgeInput);
    slot.rxStart = 0;
    slot.rxCount = 0;
}

// Ends a waiting caller's reply request with `code` instead of a frame, by
// the same hand-over as a delivered frame.
void failReplyRequest(PortSlot& slot, DWORD code) {
    uint8_t raised = kHandoverRaised;
    if (!slot.replyWanted.compare_exchange_strong(raised, kHandoverTaken, std::memory_order_acq_rel)) return;
    slot.readError.store(code, std::memory_order_relaxed);
    slot.replyWanted.store(kHandoverDone, std::memory_order_release);
    if (!SetEvent(slot.hReplyReady)) slot.readError.store(GetLastError(), std::memory_order_release);
}

void errorPath(PortSlot& slot, WorkerState& state) {
    DWORD code = GetLastError();
    slot.readError.store(code, std::memory_order_release);
    if (loadWorkerId(slot) == 0 && code == ERROR_INVALID_HANDLE) {
        state.leave = true;
        return;
    }
    PurgeComm(devicePort(slot), kPurgeAll);
    slot.rxStart = 0;
    slot.rxCount = 0;
    state.pendingRead = false;
    state.bytesRead = 0;
    state.askPending = false;
    state.pause = kBusyPauseMs;
    // No reply can come from a device that is gone: the caller need not
    // wait out its time for one.
    if (code == ERROR_DEVICE_NOT_CONNECTED) failReplyRequest(slot, code);
}

// Runs the recogniser for a waiting caller. The request is held while the
// recogniser may write into the caller's arrays, so the caller cannot
// release them under it.
DWORD offerToRecognizer(PortSlot& slot) {
    uint8_t raised = kHandoverRaised;
    if (!slot.replyWanted.compare_exchange_strong(raised, kHandoverTaken, std::memory_order_acq_rel)) {
        return kBusyPauseMs;
    }
    slot.replyOverflow = 0;
    if (!slot.recognizer(slot)) {
        slot.replyWanted.store(kHandoverRaised, std::memory_order_release);
        return kIdlePauseMs;
    }
    slot.replyWanted.store(kHandoverDone, std::memory_order_release);
    if (!SetEvent(slot.hReplyReady)) slot.readError.store(GetLastError(), std::memory_order_release);
    return kBusyPauseMs;
}

void runCycle(PortSlot& slot, WorkerState& state) {
    state.pause = kIdlePauseMs;
    writeStep(slot, state);
    readStep(slot, state);
    if (slot.readError.load(std::memory_order_acquire) != 0) {
        errorPath(slot, state);
        return;
    }
    if (state.bytesRead > 0) growWindow(slot, state.bytesRead);
    const bool newBytes = state.bytesRead > 0 || state.askPending;
    state.askPending = newBytes && state.leftQueued;
    if (newBytes && !state.leftQueued) state.pause = offerToRecognizer(slot);
}

// The pause that ends a cycle. A 1 ms pause also ends when a write is
// requested. The wait keeps the thread's last error as a sleep would: the
// error path reads it.
void pauseCycle(PortSlot& slot, DWORD milliseconds) {
    HANDLE wake = slot.hWorkerWake.load(std::memory_order_acquire);
    if (milliseconds != kIdlePauseMs || !wake) return Sleep(milliseconds);
    const DWORD lastError = GetLastError();
    if (WaitForSingleObject(wake, milliseconds) == WAIT_FAILED) Sleep(milliseconds);
    SetLastError(lastError);
}

}  // namespace

DWORD WINAPI PortWorker(LPVOID parameter) {
    PortSlot& slot = *static_cast<PortSlot*>(parameter);
    WorkerState state;
    PurgeComm(devicePort(slot), kPurgeAll);
    do {
        runCycle(slot, state);
        if (state.leave) break;
        pauseCycle(slot, state.pause);
    } while (loadWorkerId(slot) != 0);
    PurgeComm(devicePort(slot), kPurgeAll);
    slot.workerRunning.store(false, std::memory_order_release);
    return 0;
}
