// Threads and Sleep.
#include <pthread.h>
#include <sched.h>

#include <atomic>
#include <cerrno>
#include <ctime>
#include <memory>
#include <new>

#include "call_gate.h"
#include "device.h"
#include "seams.h"
#include "waitable_state.h"

namespace wince {
namespace {

// A thread handle's object: signalled once the thread procedure returned.
// Closing the handle neither stops nor waits for the thread.
class Thread : public KernelObject {
public:
    DWORD wait(DWORD milliseconds) override { return finished.wait(milliseconds); }
    Signal finished{true, false};
};

struct ThreadStart {
    LPTHREAD_START_ROUTINE start;
    LPVOID parameter;
    std::shared_ptr<Thread> thread;
};

void* runThread(void* argument) {
    std::unique_ptr<ThreadStart> start(static_cast<ThreadStart*>(argument));
    start->start(start->parameter);
    start->thread->finished.set();
    return nullptr;
}

// Nonzero and unique for the life of the process (until 2^32 threads).
DWORD newThreadId() {
    static std::atomic<DWORD> lastId{0};
    DWORD id;
    do {
        id = ++lastId;
    } while (id == 0);
    return id;
}

// Starts a detached pthread; 0 or an errno value.
int startDetached(ThreadStart* start) {
    pthread_attr_t attributes;
    if (int error = pthread_attr_init(&attributes)) return error;
    pthread_attr_setdetachstate(&attributes, PTHREAD_CREATE_DETACHED);
    pthread_t id;
    const int error = pthread_create(&id, &attributes, runThread, start);
    pthread_attr_destroy(&attributes);
    return error;
}

HANDLE createThread(LPTHREAD_START_ROUTINE start, LPVOID parameter, LPDWORD threadId) {
    auto thread = std::make_shared<Thread>();
    auto startInfo = std::make_unique<ThreadStart>(ThreadStart{start, parameter, thread});
    HANDLE handle = registerObject(std::move(thread));
    if (!handle) return nullptr;
    // The id is out before the thread can run: callers use it as the
    // thread's run flag from its first instruction.
    const DWORD id = newThreadId();
    if (threadId) *threadId = id;
    if (int error = startDetached(startInfo.get())) {
        unregisterObject(handle);
        if (threadId) *threadId = 0;
        SetLastError(error == EAGAIN ? ERROR_NOT_ENOUGH_MEMORY : win32ErrorFromErrno(error));
        return nullptr;
    }
    startInfo.release();  // the thread owns it now
    return handle;
}

// Constant-initialized; read on every Sleep, the port worker's 1 ms poll
// included, so the host's own length costs one atomic load.
std::atomic<SleepLength*> installedSleepLength{nullptr};

DWORD sleepLengthOf(DWORD requested) {
    SleepLength* length = installedSleepLength.load(std::memory_order_acquire);
    return length != nullptr ? length->lengthOf(requested) : requested;
}

}  // namespace

void setSleepLength(SleepLength* length) { installedSleepLength.store(length, std::memory_order_release); }

}  // namespace wince

extern "C" {

// The stack size is not honoured (host threads get the default stack) and
// creation flags must be 0. Errors: ERROR_INVALID_PARAMETER (no procedure,
// or flags), ERROR_NOT_ENOUGH_MEMORY, ERROR_TOO_MANY_OPEN_FILES.
HANDLE WINAPI CreateThread(LPSECURITY_ATTRIBUTES, size_t, LPTHREAD_START_ROUTINE lpStartAddress,
                           LPVOID lpParameter, DWORD dwCreationFlags, LPDWORD lpThreadId) {
    if (wince::callRefused("CreateThread")) return nullptr;
    if (lpStartAddress == nullptr || dwCreationFlags != 0) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return nullptr;
    }
    try {
        return wince::createThread(lpStartAddress, lpParameter, lpThreadId);
    } catch (const std::bad_alloc&) {
        SetLastError(ERROR_NOT_ENOUGH_MEMORY);
        return nullptr;
    }
}

// Sleep(0) gives up the rest of the time slice.
void WINAPI Sleep(DWORD dwMilliseconds) {
    dwMilliseconds = wince::sleepLengthOf(dwMilliseconds);
    if (dwMilliseconds == 0) {
        sched_yield();
        return;
    }
    timespec remaining{static_cast<time_t>(dwMilliseconds / 1000),
                       static_cast<long>(dwMilliseconds % 1000) * 1000000L};
    while (nanosleep(&remaining, &remaining) == -1 && errno == EINTR) {}
}

}  // extern "C"
