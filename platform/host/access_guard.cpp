// Structured exception handling for access violations, without touching the
// process's signal handlers.
//
// The Java VM relies on its own SIGSEGV and SIGBUS handlers (implicit null
// checks, safepoints) and, under -Xcheck:jni, checks now and then that they
// are still its own. So a guarded routine does not run on the calling thread
// under handlers of ours: it runs in a task that shares the caller's memory,
// descriptors and thread-local storage but has a signal handler table of its
// own (clone without CLONE_SIGHAND), while the caller waits (CLONE_VFORK).
// There a fault ends the task at once, and the caller reads its exit status.
// The process's handlers are never replaced, not even for an instant.
#include <sched.h>
#include <signal.h>
#include <sys/mman.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>

#include "wince.h"

// Present only in a build with AddressSanitizer: the guarded task's stack is
// reused memory, and a fault leaves its frames' shadow poisoned.
extern "C" void __asan_unpoison_memory_region(void const volatile* address, size_t size)
    __attribute__((weak));

namespace {

// Exit statuses of the guarded task.
constexpr int kCompleted = 0;
constexpr int kAccessViolation = 1;

constexpr size_t kStackSize = 256 * 1024;

struct GuardedJob {
    PGUARDED_ROUTINE routine;
    void* context;
};

// Runs in the guarded task only. A fault raised by the kernel ends the task;
// anything else takes its default action there, as it would have. Not
// instrumented by AddressSanitizer, which cannot tell the task's stack.
__attribute__((no_sanitize_address)) void onFault(int signal, siginfo_t* info, void*) {
    if (info != nullptr && info->si_code > 0) _exit(kAccessViolation);
    ::signal(signal, SIG_DFL);
    raise(signal);
}

void catchFaults() {
    struct sigaction ours {};
    ours.sa_sigaction = onFault;
    ours.sa_flags = SA_SIGINFO;
    sigemptyset(&ours.sa_mask);
    sigaction(SIGSEGV, &ours, nullptr);
    sigaction(SIGBUS, &ours, nullptr);
}

// The guarded task: its own handlers, every signal but SIGSEGV and SIGBUS
// blocked (asynchronous ones are the process's, not its; a blocked
// synchronous one, such as SIGFPE, ends the task by its default action and
// never reaches the VM's handler copied into the task), ended with the
// caller should the process die, then the routine.
int guardedTask(void* argument) {
    prctl(PR_SET_PDEATHSIG, SIGKILL);
    sigset_t all;
    sigfillset(&all);
    sigdelset(&all, SIGSEGV);
    sigdelset(&all, SIGBUS);
    sigprocmask(SIG_SETMASK, &all, nullptr);
    catchFaults();
    const auto* job = static_cast<const GuardedJob*>(argument);
    job->routine(job->context);
    return kCompleted;  // the task's exit status
}

// The task's exit status as the routine's result. A fault the task could not
// catch (its stack overflowed) is an access violation too; a routine ended by
// another signal passes it on to the caller, as an unhandled exception would.
DWORD resultOf(int status) {
    if (WIFEXITED(status)) return WEXITSTATUS(status) == kAccessViolation ? EXCEPTION_ACCESS_VIOLATION : 0;
    const int signal = WIFSIGNALED(status) ? WTERMSIG(status) : SIGSEGV;
    if (signal != SIGSEGV && signal != SIGBUS) raise(signal);
    return EXCEPTION_ACCESS_VIOLATION;
}

// The task's stack, with an inaccessible page below it; null when there is
// no memory for it.
void* mapTaskStack() {
    void* stack =
        mmap(nullptr, kStackSize, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS | MAP_STACK, -1, 0);
    if (stack == MAP_FAILED) return nullptr;
    mprotect(stack, static_cast<size_t>(sysconf(_SC_PAGESIZE)), PROT_NONE);
    return stack;
}

void unmapTaskStack(void* stack) {
    if (__asan_unpoison_memory_region) __asan_unpoison_memory_region(stack, kStackSize);
    munmap(stack, kStackSize);
}

DWORD runInGuardedTask(GuardedJob& job, void* stack) {
    char* stackTop = static_cast<char*>(stack) + kStackSize;
    // No exit signal: only a wait for clone children (__WALL) sees the task.
    const pid_t task = clone(guardedTask, stackTop, CLONE_VM | CLONE_VFORK | CLONE_FS | CLONE_FILES, &job);
    if (task < 0) return EXCEPTION_ACCESS_VIOLATION;
    int status = 0;
    while (waitpid(task, &status, __WALL) < 0) {
        if (errno != EINTR) return EXCEPTION_ACCESS_VIOLATION;
    }
    return resultOf(status);
}

}  // namespace

extern "C" {

// A task that cannot be started (no memory for its stack, no process left)
// counts as an access violation: the routine did not run, and the caller
// reports the step as failed.
DWORD WINAPI RunGuarded(PGUARDED_ROUTINE routine, void* context) {
    void* stack = mapTaskStack();
    if (stack == nullptr) return EXCEPTION_ACCESS_VIOLATION;
    GuardedJob job{routine, context};
    const DWORD result = runInGuardedTask(job, stack);
    unmapTaskStack(stack);
    return result;
}

}  // extern "C"
