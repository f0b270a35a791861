// The port table's record: one open serial port, its worker's hand-over
// flags and its buffers. Nothing here is allocated; every buffer of a port
// lives in its slot.
#pragma once

#include <atomic>
#include <cstdint>

#include "wince.h"

using ResultCode = int32_t;

constexpr ResultCode ERR_RS_TIMEOUT = 100301;  // write or reply not done in time
constexpr ResultCode ERR_RS_OPEN = 100302;     // all four slots in use

constexpr int kPortCount = 4;
constexpr int kPortNameUnits = 10;  // 9 characters and the terminator
constexpr int kTxBufferSize = 255;
constexpr int kRxBufferSize = 2048;
constexpr int kRxWindowLimit = 2047;  // the worker never stores at or past this index

struct PortSlot;

// Decides whether the receive window holds a complete reply frame of the
// port's family; when it does, delivers it to the waiting caller. Only the
// low byte of a recogniser's result says found or not; a bool is exactly that.
using FrameRecognizer = bool (*)(PortSlot& slot);

// States of a hand-over flag (`writeRequested`, `replyWanted`). The Java side
// raises a request; the worker takes it while it works on it and marks it done.
// A request the Java side gave up on while the worker held it is abandoned:
// the worker finishes it but never reports it as the completion of a later
// attempt, and a reply is never written into arrays the caller has released.
enum HandOver : uint8_t {
    kHandoverIdle = 0,
    kHandoverRaised = 1,
    kHandoverTaken = 2,
    kHandoverDone = 3,
    kHandoverAbandoned = 4,
};

struct PortSlot {
    WCHAR portName[kPortNameUnits];  // name of the last successful opening
    std::atomic<HANDLE> hPort;       // 0: the slot is free
    HANDLE hWriteDone;
    HANDLE hReplyReady;
    HANDLE hWorker;
    DWORD workerId;  // the worker's run flag; shared, so only used through std::atomic_ref
    std::atomic<uint32_t> writeError;
    std::atomic<uint32_t> readError;
    uint32_t timeoutMs;
    uint8_t txBuffer[kTxBufferSize];
    uint8_t rxBuffer[kRxBufferSize];
    int32_t txLength;
    int32_t rxStart;
    int32_t rxCount;
    std::atomic<uint8_t> writeRequested;
    std::atomic<uint8_t> replyWanted;
    FrameRecognizer recognizer;
    uint8_t* replyDest;
    int32_t* replyLengthOut;
    // Room at `replyDest`: a frame longer than the caller's array is never
    // written into it.
    int32_t replyCapacity;
    // ERROR_INSUFFICIENT_BUFFER when the recognised frame did not fit, else 0.
    uint32_t replyOverflow;
    // True from the start of a worker until its very last step, so that a
    // slot is never reopened while the worker of its previous opening runs.
    std::atomic<bool> workerRunning;
    // The event and thread handles belong to the current opening (closing
    // a free or held slot must not close stale handles).
    bool eventsLive[2];
    bool workerHandleLive;
    // Ends the worker's 1 ms pause when a write is requested, so a request
    // does not wait for the next poll. Auto-reset; null when it could not be
    // made or once closed, and the worker then simply polls.
    std::atomic<HANDLE> hWorkerWake;
    bool wakeLive;
};

extern PortSlot portTable[kPortCount];
extern int32_t sendRetries[kPortCount];
extern int32_t receiveRetries[kPortCount];

inline bool isPortIndex(int32_t index) { return index >= 0 && index < kPortCount; }

inline DWORD loadWorkerId(PortSlot& slot) {
    return std::atomic_ref<DWORD>(slot.workerId).load(std::memory_order_acquire);
}
inline void storeWorkerId(PortSlot& slot, DWORD id) {
    std::atomic_ref<DWORD>(slot.workerId).store(id, std::memory_order_release);
}
