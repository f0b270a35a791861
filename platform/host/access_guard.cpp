// Structured exception handling for access violations, on POSIX signals.
//
// A guarded routine runs with a per-thread recovery point armed; SIGSEGV or
// SIGBUS raised by a fault while it is armed resumes at that point, and the
// routine ends at once. Our handlers are in place only while some thread runs
// a guarded routine, never at load and never after: the Java VM relies on its
// own SIGSEGV and SIGBUS handlers (implicit null checks, safepoints) and,
// under -Xcheck:jni, reports them replaced. Meanwhile every signal that is not
// a fault of an armed routine goes on to the handler that was there before,
// with that handler's own flags and mask.
#include <pthread.h>
#include <setjmp.h>
#include <signal.h>

#include <cerrno>
#include <mutex>

#include "wince.h"

namespace {

struct GuardFrame {
    sigjmp_buf resume;
    GuardFrame* outer;
};

// Initial-exec: the handler may read it on any thread, where a lazily
// allocated TLS block would mean calling malloc inside a signal handler.
thread_local GuardFrame* volatile armedFrame __attribute__((tls_model("initial-exec"))) = nullptr;

struct sigaction previousSegv;
struct sigaction previousBus;
// Guarded routines running now, in all threads; our handlers are in place
// while it is above 0.
std::mutex guardsLock;
int guardsRunning = 0;

struct sigaction& previousFor(int signal) { return signal == SIGBUS ? previousBus : previousSegv; }

bool isDefault(const struct sigaction& action) {
    return !(action.sa_flags & SA_SIGINFO) && action.sa_handler == SIG_DFL;
}

bool isIgnored(const struct sigaction& action) {
    return !(action.sa_flags & SA_SIGINFO) && action.sa_handler == SIG_IGN;
}

// The default action: the signal is blocked while we run, so it is delivered
// (and ends the process) as soon as this handler returns.
void takeDefaultAction(int signal) {
    struct sigaction fallback {};
    fallback.sa_handler = SIG_DFL;
    sigemptyset(&fallback.sa_mask);
    sigaction(signal, &fallback, nullptr);
    raise(signal);
}

// Calls the previous handler as the kernel would have: its mask added, the
// signal itself blocked unless it asked for SA_NODEFER, reset to the default
// first if it asked for SA_RESETHAND.
void callPrevious(int signal, siginfo_t* info, void* context) {
    const struct sigaction previous = previousFor(signal);
    if (previous.sa_flags & SA_RESETHAND) {
        previousFor(signal) = {};
        previousFor(signal).sa_handler = SIG_DFL;
    }
    sigset_t mask = previous.sa_mask;
    sigset_t saved;
    if (previous.sa_flags & SA_NODEFER) {
        sigdelset(&mask, signal);
        pthread_sigmask(SIG_BLOCK, &mask, &saved);
        sigset_t self;
        sigemptyset(&self);
        sigaddset(&self, signal);
        pthread_sigmask(SIG_UNBLOCK, &self, nullptr);
    } else {
        sigaddset(&mask, signal);
        pthread_sigmask(SIG_BLOCK, &mask, &saved);
    }
    if (previous.sa_flags & SA_SIGINFO)
        previous.sa_sigaction(signal, info, context);
    else
        previous.sa_handler(signal);
    pthread_sigmask(SIG_SETMASK, &saved, nullptr);
}

void chain(int signal, siginfo_t* info, void* context) {
    const struct sigaction& previous = previousFor(signal);
    if (isDefault(previous))
        takeDefaultAction(signal);
    else if (!isIgnored(previous))
        callPrevious(signal, info, context);
}

void onFault(int signal, siginfo_t* info, void* context) {
    GuardFrame* frame = armedFrame;
    // si_code > 0: raised by the kernel for a fault, not sent by kill().
    if (frame != nullptr && info != nullptr && info->si_code > 0) {
        armedFrame = frame->outer;
        siglongjmp(frame->resume, 1);
    }
    const int savedErrno = errno;
    chain(signal, info, context);
    errno = savedErrno;
}

void installHandler(int signal) {
    struct sigaction ours {};
    ours.sa_sigaction = onFault;
    ours.sa_flags = SA_SIGINFO | SA_ONSTACK | SA_RESTART;
    sigemptyset(&ours.sa_mask);
    // Note the previous handler before ours can run and chain to it.
    sigaction(signal, nullptr, &previousFor(signal));
    struct sigaction replaced;
    sigaction(signal, &ours, &replaced);
    if (replaced.sa_sigaction != previousFor(signal).sa_sigaction) previousFor(signal) = replaced;
}

// Puts the previous handler back, unless someone replaced ours meanwhile.
void restoreHandler(int signal) {
    struct sigaction current {};
    sigaction(signal, nullptr, &current);
    if ((current.sa_flags & SA_SIGINFO) && current.sa_sigaction == onFault) {
        sigaction(signal, &previousFor(signal), nullptr);
    }
}

void enterGuard() {
    std::lock_guard lock(guardsLock);
    if (guardsRunning++ == 0) {
        installHandler(SIGSEGV);
        installHandler(SIGBUS);
    }
}

void leaveGuard() {
    std::lock_guard lock(guardsLock);
    if (--guardsRunning == 0) {
        restoreHandler(SIGSEGV);
        restoreHandler(SIGBUS);
    }
}

DWORD runArmed(PGUARDED_ROUTINE routine, void* context) {
    GuardFrame frame;
    frame.outer = armedFrame;
    if (sigsetjmp(frame.resume, 1) != 0) return EXCEPTION_ACCESS_VIOLATION;
    armedFrame = &frame;
    routine(context);
    armedFrame = frame.outer;
    return 0;
}

}  // namespace

extern "C" {

DWORD WINAPI RunGuarded(PGUARDED_ROUTINE routine, void* context) {
    enterGuard();
    const DWORD result = runArmed(routine, context);
    leaveGuard();
    return result;
}

}  // extern "C"
