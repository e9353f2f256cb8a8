// The program a session starts as the agent. The agent itself links GLib, GIO, libcups
// and more: the dynamic loader maps and relocates them for milliseconds before any code of
// the agent's runs, and a quit signal in that time would kill it with the default action.
// This program has no loader and no C library: its first instructions block the quit
// signals, then it replaces itself with the agent. The signal mask and any pending signal
// survive execve, so the agent starts with them blocked and reads a pending quit from its
// loop's descriptor. The process keeps its id, so whoever started it waits for the agent.
//
// Built freestanding (-nostdlib -static): no errno, no stack protector, no library calls.

#if !defined(__x86_64__) && !defined(__aarch64__)
#error "the agent's launcher knows the system calls of x86_64 and aarch64 only"
#endif

#ifndef ZELCUPS_AGENT_FROM_LAUNCHER
#error "ZELCUPS_AGENT_FROM_LAUNCHER: the agent's path relative to the launcher's folder"
#endif

typedef unsigned long word;

enum {
  kAtFdCwd = -100,
  kSigHup = 1,
  kSigInt = 2,
  kSigTerm = 15,
  kSigBlock = 0,
  kPathMax = 4096,
  kNotFound = 127,
};

#if defined(__x86_64__)
enum {
  kSysWrite = 1,
  kSysRtSigprocmask = 14,
  kSysExecve = 59,
  kSysExitGroup = 231,
  kSysReadlinkat = 267
};

static long Syscall4(long number, long a, long b, long c, long d) {
  register long r10 __asm__("r10") = d;
  long result;
  __asm__ volatile("syscall"
                   : "=a"(result)
                   : "a"(number), "D"(a), "S"(b), "d"(c), "r"(r10)
                   : "rcx", "r11", "memory");
  return result;
}

// The kernel enters with the stack pointer at argc; the C part wants it as an argument
// and the stack aligned as a call leaves it.
__asm__(
    ".text\n"
    ".global _start\n"
    ".type _start, @function\n"
    "_start:\n"
    "  xor %ebp, %ebp\n"
    "  mov %rsp, %rdi\n"
    "  and $-16, %rsp\n"
    "  call LauncherMain\n"
    "  hlt\n");
#else
enum {
  kSysReadlinkat = 78,
  kSysWrite = 64,
  kSysExitGroup = 94,
  kSysRtSigprocmask = 135,
  kSysExecve = 221
};

static long Syscall4(long number, long a, long b, long c, long d) {
  register long x8 __asm__("x8") = number;
  register long x0 __asm__("x0") = a;
  register long x1 __asm__("x1") = b;
  register long x2 __asm__("x2") = c;
  register long x3 __asm__("x3") = d;
  __asm__ volatile("svc #0" : "+r"(x0) : "r"(x8), "r"(x1), "r"(x2), "r"(x3) : "memory");
  return x0;
}

__asm__(
    ".text\n"
    ".global _start\n"
    ".type _start, @function\n"
    "_start:\n"
    "  mov x29, #0\n"
    "  mov x30, #0\n"
    "  mov x0, sp\n"
    "  bl LauncherMain\n"
    "  brk #0\n");
#endif

static void BlockQuitSignals(void) {
  // The kernel's sigset_t: one bit per signal, bit N-1 for signal N, 8 bytes.
  word quit_signals = (1UL << (kSigHup - 1)) | (1UL << (kSigInt - 1)) | (1UL << (kSigTerm - 1));
  Syscall4(kSysRtSigprocmask, kSigBlock, (long)&quit_signals, 0, sizeof quit_signals);
}

static word Length(const char *text) {
  word length = 0;
  while (text[length] != '\0') {
    ++length;
  }
  return length;
}

static void Say(const char *text) {
  Syscall4(kSysWrite, 2, (long)text, (long)Length(text), 0);
}

static __attribute__((noreturn)) void Exit(int status) {
  for (;;) {
    Syscall4(kSysExitGroup, status, 0, 0, 0);
  }
}

// The folder this program was started from (through any symbolic link to it), then the
// agent's place relative to it: the same in the build tree and in an installation.
static int AgentPath(char *path) {
  static const char kRelative[] = ZELCUPS_AGENT_FROM_LAUNCHER;
  long length = Syscall4(kSysReadlinkat, kAtFdCwd, (long)"/proc/self/exe", (long)path, kPathMax);
  if (length <= 0 || length >= kPathMax) {
    return 0;
  }
  long folder_end = length;
  while (folder_end > 0 && path[folder_end - 1] != '/') {
    --folder_end;
  }
  if (folder_end == 0 || folder_end + (long)sizeof kRelative > kPathMax) {
    return 0;
  }
  for (word i = 0; i < sizeof kRelative; ++i) {
    path[folder_end + (long)i] = kRelative[i];
  }
  return 1;
}

__attribute__((used, noreturn)) void LauncherMain(long *stack) {
  BlockQuitSignals();
  char **argv = (char **)(stack + 1);
  char **envp = argv + stack[0] + 1;
  char path[kPathMax];
  if (!AgentPath(path)) {
    Say("zelcups-agent: cannot find its own program (/proc/self/exe)\n");
    Exit(kNotFound);
  }
  Syscall4(kSysExecve, (long)path, (long)argv, (long)envp, 0);
  Say("zelcups-agent: cannot start ");
  Say(path);
  Say("\n");
  Exit(kNotFound);
}
