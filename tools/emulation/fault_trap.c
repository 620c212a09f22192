/* Preloaded into Wine's i386 processes when they run under QEMU's user-mode emulator.
 *
 * Wine's fault handler tells an access violation from other faults by the trap number in
 * the signal context. The emulator leaves that number at -1 in the signal frames it builds,
 * so every fault reached Windows code as an illegal instruction and Wine's own guarded reads
 * (IsBadReadPtr and the like) failed. This fills in the number the kernel would have given,
 * from the signal and its code, before Wine's handler runs. A natively running kernel
 * already gives it; then this library is not loaded at all. */
#define _GNU_SOURCE
#include <dlfcn.h>
#include <signal.h>
#include <stddef.h>
#include <ucontext.h>

#if defined(__i386__)

typedef void (*SigInfoHandler)(int, siginfo_t *, void *);
typedef int (*SigactionFn)(int, const struct sigaction *, struct sigaction *);

static SigInfoHandler wineHandlers[NSIG];

/* x86 exception vectors, as the kernel reports them in the trap number. */
enum { kDivide = 0, kDebug = 1, kBreakpoint = 3, kOverflow = 4, kInvalidOpcode = 6,
       kGeneralProtection = 13, kPageFault = 14, kFpuError = 16, kAlignment = 17 };

static int TrapFor(int signum, const siginfo_t *info) {
  switch (signum) {
    case SIGSEGV:
      return (info->si_code == SEGV_MAPERR || info->si_code == SEGV_ACCERR) ? kPageFault
                                                                            : kGeneralProtection;
    case SIGBUS: return kAlignment;
    case SIGILL: return kInvalidOpcode;
    case SIGTRAP: return info->si_code == TRAP_BRKPT ? kBreakpoint : kDebug;
    case SIGFPE:
      if (info->si_code == FPE_INTDIV) return kDivide;
      if (info->si_code == FPE_INTOVF) return kOverflow;
      return kFpuError;
  }
  return -1;
}

static void FillTrapThenCallWine(int signum, siginfo_t *info, void *context) {
  greg_t *regs = ((ucontext_t *)context)->uc_mcontext.gregs;
  if (regs[REG_TRAPNO] < 0 || regs[REG_TRAPNO] > 31) regs[REG_TRAPNO] = TrapFor(signum, info);
  wineHandlers[signum](signum, info, context);
}

static int IsFaultSignal(int signum) {
  return signum == SIGSEGV || signum == SIGBUS || signum == SIGILL || signum == SIGTRAP ||
         signum == SIGFPE;
}

int sigaction(int signum, const struct sigaction *act, struct sigaction *oldact) {
  static SigactionFn real;
  if (!real) real = (SigactionFn)dlsym(RTLD_NEXT, "sigaction");
  if (signum <= 0 || signum >= NSIG || !IsFaultSignal(signum)) return real(signum, act, oldact);

  SigInfoHandler previous = wineHandlers[signum];
  struct sigaction wrapped;
  if (act && (act->sa_flags & SA_SIGINFO) && act->sa_sigaction) {
    wrapped = *act;
    wrapped.sa_sigaction = FillTrapThenCallWine;
    wineHandlers[signum] = act->sa_sigaction;
    act = &wrapped;
  }
  int result = real(signum, act, oldact);
  if (result == 0 && oldact && (oldact->sa_flags & SA_SIGINFO) &&
      oldact->sa_sigaction == FillTrapThenCallWine)
    oldact->sa_sigaction = previous;
  return result;
}

#endif /* __i386__: the 64-bit build is empty, for 64-bit programs that Wine starts. */
