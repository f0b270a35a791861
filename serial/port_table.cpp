#include "port_table.h"

#include <chrono>
#include <cstring>
#include <mutex>

#include "port_worker.h"
#include "recognizers.h"

PortSlot portTable[kPortCount];
int32_t sendRetries[kPortCount];
int32_t receiveRetries[kPortCount];

namespace {

constexpr DWORD kInputQueueBytes = 2048;
constexpr DWORD kOutputQueueBytes = 1024;
constexpr UINT kConfigBoxStyle = MB_OK | MB_ICONHAND;
const WCHAR kConfigBoxCaption[] = TEXT("InitialiserRS232");

// Poll, in one place, for the end of an earlier opening's worker.
constexpr DWORD kWorkerExitPollMs = 1;
// A closed port's worker ends within one cycle once its device calls fail;
// one that has not ended after the longest handshake timeout of any family
// is stuck in the driver, and the open gives up rather than hang.
constexpr DWORD kWorkerExitBoundMs = 2000;

// Opens and closes of all ports, one at a time: a slot is chosen and
// claimed, or freed, without another thread's open or close in between.
// Exchanges never take it.
std::mutex slotBookkeeping;

struct FamilyRow {
    uint32_t baudRate;
    uint8_t parity;
    int32_t dtrControl;
    uint32_t timeoutMs;
    FrameRecognizer recognizer;
};

// Every family: 8 data bits, one stop bit, RTS held low, no flow control.
const FamilyRow kFamilyTable[] = {
    /* QTVv1  */ {0, EVENPARITY, DTR_CONTROL_DISABLE, 2000, recognizeQTVv1},
    /* QTVv2  */ {4800, NOPARITY, DTR_CONTROL_ENABLE, 2000, recognizeQTVv2},
    /* KELT3B */ {19200, NOPARITY, DTR_CONTROL_DISABLE, 1000, recognizeKELT3B},
    /* VX9    */ {9600, NOPARITY, DTR_CONTROL_DISABLE, 1000, recognizeVX9},
};

// Shows the configuration failure box and returns the failure's code. The
// code is taken before the box so that nothing the box does can change it.
ResultCode reportConfigFailure(const WCHAR* text) {
    DWORD error = GetLastError();
    MessageBoxW(nullptr, text, kConfigBoxCaption, kConfigBoxStyle);
    return static_cast<ResultCode>(error);
}

void applyLineSettings(DCB& dcb, const LineSettings& settings) {
    dcb.BaudRate = settings.baudRate;
    dcb.ByteSize = settings.byteSize;
    dcb.Parity = settings.parity;
    dcb.StopBits = settings.stopBits;
    dcb.fBinary = 1;
    dcb.fParity = 1;
    dcb.fTXContinueOnXoff = 1;
    dcb.fOutxCtsFlow = 0;
    dcb.fOutxDsrFlow = 0;
    dcb.fDsrSensitivity = 0;
    dcb.fOutX = 0;
    dcb.fInX = 0;
    dcb.fErrorChar = 0;
    dcb.fNull = 0;
    dcb.fAbortOnError = 0;
    dcb.fDtrControl = settings.dtrControl & 3;
    dcb.fRtsControl = settings.rtsControl & 3;
}

// Drives the modem lines to match the control codes just set.
void driveModemLines(HANDLE port, const DCB& dcb) {
    if (dcb.fRtsControl == RTS_CONTROL_ENABLE) {
        EscapeCommFunction(port, SETRTS);
    } else if (dcb.fRtsControl == RTS_CONTROL_DISABLE) {
        EscapeCommFunction(port, CLRRTS);
    }
    if (dcb.fDtrControl == DTR_CONTROL_ENABLE) {
        EscapeCommFunction(port, SETDTR);
    } else if (dcb.fDtrControl == DTR_CONTROL_DISABLE) {
        EscapeCommFunction(port, CLRDTR);
    }
}

ResultCode configureDevice(HANDLE port, const LineSettings& settings) {
    if (!SetupComm(port, kInputQueueBytes, kOutputQueueBytes)) return GetLastError();
    if (!PurgeComm(port, kPurgeAll)) return GetLastError();
    DCB dcb;
    std::memset(&dcb, 0, sizeof dcb);
    dcb.DCBlength = sizeof dcb;
    if (!GetCommState(port, &dcb)) return reportConfigFailure(TEXT("Erreur GetCommState"));
    applyLineSettings(dcb, settings);
    if (!SetCommState(port, &dcb)) return reportConfigFailure(TEXT("Erreur SetCommState"));
    driveModemLines(port, dcb);
    // A read returns the queued bytes at once, or waits at most 1 ms.
    COMMTIMEOUTS timeouts = {MAXDWORD, MAXDWORD, 1, 100, 2000};
    if (!SetCommTimeouts(port, &timeouts)) return reportConfigFailure(TEXT("Erreur SetCommTimeouts"));
    return 0;
}

HANDLE createManualResetEvent() { return CreateEventW(nullptr, TRUE, FALSE, nullptr); }

ResultCode createEvents(PortSlot& slot) {
    slot.hWriteDone = createManualResetEvent();
    slot.eventsLive[0] = slot.hWriteDone != nullptr;
    if (!slot.hWriteDone) return reportConfigFailure(TEXT("Erreur Create WriteEvent"));
    slot.hReplyReady = createManualResetEvent();
    slot.eventsLive[1] = slot.hReplyReady != nullptr;
    if (!slot.hReplyReady) return reportConfigFailure(TEXT("Erreur Create ReadEvent"));
    // Only speeds up the take-up of writes: without it the port still works.
    HANDLE wake = CreateEventW(nullptr, FALSE, FALSE, nullptr);
    slot.wakeLive = wake != nullptr;
    slot.hWorkerWake.store(wake, std::memory_order_release);
    return 0;
}

// The worker's starting state is set here, before the thread exists, so the
// Java side's later writes are ordered after it.
void resetExchangeState(PortSlot& slot) {
    slot.writeRequested.store(kHandoverIdle, std::memory_order_relaxed);
    slot.replyWanted.store(kHandoverIdle, std::memory_order_relaxed);
    slot.txLength = 0;
    slot.rxStart = 0;
    slot.rxCount = 0;
    slot.replyDest = nullptr;
    slot.replyLengthOut = nullptr;
    slot.replyCapacity = 0;
    slot.replyOverflow = 0;
}

ResultCode startWorker(PortSlot& slot) {
    resetExchangeState(slot);
    slot.workerRunning.store(true, std::memory_order_release);
    slot.hWorker = CreateThread(nullptr, 0, PortWorker, &slot, 0, &slot.workerId);
    slot.workerHandleLive = slot.hWorker != nullptr;
    if (!slot.hWorker) {
        slot.workerRunning.store(false, std::memory_order_release);
        return reportConfigFailure(TEXT("Erreur CreateThread"));
    }
    return 0;
}

// A reopened slot must never be served by the worker of its previous
// opening, which may still be finishing its last cycle. False when that
// worker is still running after the bound, measured on the clock: a busy
// machine stretches every 1 ms pause, and their sum would stretch the bound.
bool awaitPreviousWorker(PortSlot& slot) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(kWorkerExitBoundMs);
    while (slot.workerRunning.load(std::memory_order_acquire)) {
        if (std::chrono::steady_clock::now() >= deadline) return false;
        Sleep(kWorkerExitPollMs);
    }
    return true;
}

void recordOpening(PortSlot& slot, const LineSettings& settings) {
    std::memcpy(slot.portName, settings.portName, sizeof slot.portName);
    slot.portName[kPortNameUnits - 1] = 0;
    slot.recognizer = settings.recognizer;
    slot.timeoutMs = settings.timeoutMs;
}

BOOL closeIfLive(HANDLE handle, bool& live) {
    if (!live) {
        SetLastError(ERROR_INVALID_HANDLE);
        return FALSE;
    }
    live = false;
    return CloseHandle(handle);
}

}  // namespace

LineSettings familySettings(InstrumentFamily family, uint32_t baudRate) {
    const FamilyRow& row = kFamilyTable[static_cast<int>(family)];
    LineSettings settings{};
    settings.baudRate = family == InstrumentFamily::QTVv1 ? baudRate : row.baudRate;
    settings.parity = row.parity;
    settings.byteSize = 8;
    settings.stopBits = ONESTOPBIT;
    settings.rtsControl = RTS_CONTROL_DISABLE;
    settings.dtrControl = row.dtrControl;
    settings.timeoutMs = row.timeoutMs;
    settings.recognizer = row.recognizer;
    return settings;
}

int32_t firstFreeSlot() {
    int32_t index = 0;
    while (index < kPortCount && portTable[index].hPort.load(std::memory_order_acquire) != nullptr) {
        ++index;
    }
    return index;
}

namespace {

ResultCode claimAndConfigure(const LineSettings& settings, int32_t* indexCell) {
    *indexCell = firstFreeSlot();
    if (*indexCell == kPortCount) return ERR_RS_OPEN;
    PortSlot& slot = portTable[*indexCell];
    if (!awaitPreviousWorker(slot)) return static_cast<ResultCode>(ERROR_BUSY);

    HANDLE port =
        CreateFileW(settings.portName, GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr);
    if (port == INVALID_HANDLE_VALUE) return static_cast<ResultCode>(GetLastError());
    slot.hPort.store(port, std::memory_order_release);  // claims the slot

    ResultCode result = configureDevice(port, settings);
    if (result == 0) result = createEvents(slot);
    if (result == 0) result = startWorker(slot);
    if (result != 0) return result;
    recordOpening(slot, settings);
    return 0;
}

}  // namespace

ResultCode openPort(const LineSettings& settings, int32_t* indexCell) {
    ResultCode result;
    {
        std::lock_guard<std::mutex> lock(slotBookkeeping);
        result = claimAndConfigure(settings, indexCell);
    }
    // Only the caller knows the new index yet: the settle pause needs no lock.
    if (result == 0) Sleep(kSettleAfterOpenMs);
    return result;
}

BOOL closePort(int32_t index) {
    std::lock_guard<std::mutex> lock(slotBookkeeping);
    PortSlot& slot = portTable[index];
    HANDLE port = slot.hPort.load(std::memory_order_acquire);
    EscapeCommFunction(port, CLRDTR);
    EscapeCommFunction(port, CLRRTS);
    storeWorkerId(slot, 0);  // the worker's stop signal
    closeIfLive(slot.hWorker, slot.workerHandleLive);
    if (port) CloseHandle(port);
    slot.hPort.store(nullptr, std::memory_order_release);
    closeIfLive(slot.hWorkerWake.exchange(nullptr, std::memory_order_acq_rel), slot.wakeLive);
    closeIfLive(slot.hWriteDone, slot.eventsLive[0]);
    return closeIfLive(slot.hReplyReady, slot.eventsLive[1]);
}
