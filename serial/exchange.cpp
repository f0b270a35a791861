#include "exchange.h"

#include <chrono>
#include <cstring>

namespace {

constexpr int32_t kMaxSendRetries = 2;     // 3 attempts in all
constexpr int32_t kMaxReceiveRetries = 3;  // 4 waits in all
constexpr DWORD kWriterIdlePollMs = 1;

using Clock = std::chrono::steady_clock;

DWORD msUntil(Clock::time_point deadline) {
    // Rounded up, so a handshake never waits less than the port's timeout.
    auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline - Clock::now()).count();
    return left > 0 ? static_cast<DWORD>(left) : 0;
}

// Takes a request back after the wait. A reply request the worker holds is
// waited for (the recogniser runs briefly and may be writing into the
// caller's arrays); a write the worker holds is left to finish as abandoned.
uint8_t withdrawRequest(std::atomic<uint8_t>& flag, bool abandonTaken) {
    for (;;) {
        uint8_t state = flag.load(std::memory_order_acquire);
        if (state == kHandoverTaken && !abandonTaken) {
            Sleep(0);
            continue;
        }
        uint8_t next = state == kHandoverTaken ? kHandoverAbandoned : kHandoverIdle;
        if (flag.compare_exchange_weak(state, next, std::memory_order_acq_rel)) return state;
    }
}

// False when the worker still holds the flag's request at the deadline.
bool awaitIdle(const std::atomic<uint8_t>& flag, Clock::time_point deadline) {
    while (flag.load(std::memory_order_acquire) != kHandoverIdle) {
        if (msUntil(deadline) == 0) return false;
        Sleep(kWriterIdlePollMs);
    }
    return true;
}

struct HandOverPoint {
    HANDLE event;
    HANDLE wake;  // ends the worker's pause once the request is raised; may be null
    std::atomic<uint8_t>& flag;
    std::atomic<uint32_t>& error;
    bool abandonTaken;
};

// One handshake. Only the worker's completion of this very request counts:
// a completion signalled late for an earlier request wakes the wait but is
// not taken for this one, which then waits out the rest of its time.
ResultCode handOver(HandOverPoint point, Clock::time_point deadline) {
    for (;;) {
        // Raised over a write the worker still holds, the new request would
        // be cleared when that write ends, and lost.
        if (!awaitIdle(point.flag, deadline)) return ERR_RS_TIMEOUT;
        ResetEvent(point.event);
        point.error.store(0, std::memory_order_relaxed);
        point.flag.store(kHandoverRaised, std::memory_order_release);
        // A lost wake-up costs only the rest of the worker's 1 ms pause.
        if (point.wake) SetEvent(point.wake);
        DWORD waited = WaitForSingleObject(point.event, msUntil(deadline));
        DWORD waitError = GetLastError();
        uint8_t outcome = withdrawRequest(point.flag, point.abandonTaken);
        if (outcome == kHandoverDone)
            return static_cast<ResultCode>(point.error.load(std::memory_order_acquire));
        if (waited == WAIT_TIMEOUT) return ERR_RS_TIMEOUT;
        if (waited == WAIT_FAILED) return static_cast<ResultCode>(waitError);
        if (msUntil(deadline) == 0) return ERR_RS_TIMEOUT;
    }
}

// One attempt's deadline covers every wait the attempt makes.
Clock::time_point attemptDeadline(const PortSlot& slot) {
    return Clock::now() + std::chrono::milliseconds(slot.timeoutMs);
}

// An abandoned write still reads txBuffer until it ends; nothing may be
// copied there, nor a new write raised, before then.
ResultCode awaitWriterIdle(PortSlot& slot, Clock::time_point deadline) {
    return awaitIdle(slot.writeRequested, deadline) ? 0 : ERR_RS_TIMEOUT;
}

ResultCode requestWriteBy(PortSlot& slot, Clock::time_point deadline) {
    ResultCode idle = awaitWriterIdle(slot, deadline);
    if (idle != 0) return idle;
    return handOver({slot.hWriteDone, slot.hWorkerWake.load(std::memory_order_acquire), slot.writeRequested,
                     slot.writeError, true},
                    deadline);
}

}  // namespace

ResultCode requestWrite(PortSlot& slot) { return requestWriteBy(slot, attemptDeadline(slot)); }

ResultCode awaitReply(PortSlot& slot) {
    ResultCode result =
        handOver({slot.hReplyReady, nullptr, slot.replyWanted, slot.readError, false}, attemptDeadline(slot));
    if (result == 0 && slot.replyOverflow != 0) return static_cast<ResultCode>(slot.replyOverflow);
    return result;
}

ResultCode sendMessage(int32_t index, const uint8_t* message, int32_t length) {
    PortSlot& slot = portTable[index];
    for (;;) {
        const Clock::time_point deadline = attemptDeadline(slot);
        ResultCode result = awaitWriterIdle(slot, deadline);
        if (result == 0) {
            // An empty message may come without any bytes at all.
            if (length > 0) std::memcpy(slot.txBuffer, message, static_cast<size_t>(length));
            slot.txLength = length;
            result = requestWriteBy(slot, deadline);
        }
        if (result == 0) {
            sendRetries[index] = 0;
            return 0;
        }
        if (sendRetries[index] >= kMaxSendRetries) {
            sendRetries[index] = 0;
            return result;
        }
        ++sendRetries[index];
    }
}

ResultCode receiveReply(int32_t index, uint8_t* reply, int32_t capacity, int32_t* lengthCell) {
    PortSlot& slot = portTable[index];
    for (;;) {
        slot.replyLengthOut = lengthCell;
        slot.replyDest = reply;
        slot.replyCapacity = capacity;
        ResultCode result = awaitReply(slot);
        // A frame too long for the caller's array would come back just as
        // long; a device that is gone answers no resend.
        if (result == 0 || result == static_cast<ResultCode>(ERROR_INSUFFICIENT_BUFFER) ||
            result == static_cast<ResultCode>(ERROR_DEVICE_NOT_CONNECTED)) {
            receiveRetries[index] = 0;
            return result;
        }
        if (receiveRetries[index] >= kMaxReceiveRetries) {
            receiveRetries[index] = 0;
            return result;
        }
        if (slot.txLength > 0) requestWrite(slot);
        ++receiveRetries[index];
    }
}
