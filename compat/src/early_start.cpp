// What the agent must settle before any library it uses starts. Only an executable's
// pre-initialisers run that early (a shared library's constructors run after those of the
// libraries it needs), so this file is linked into the agent itself, not into compat.
#include <glib.h>

#include <csignal>

#include "quit_request.h"

namespace {

// A quit signal left to its default action kills the process wherever it is; one that
// comes before the event loop reads them must wait for it instead. Blocked here, before
// any thread exists, the signals stay blocked in every thread the process starts, and the
// event loop reads them through a descriptor (a pending one included). Started as
// bin/zelcups-agent they are blocked already, before the dynamic loader ran (see
// agent_launcher.c); this covers the agent started on its own, by a debugger or valgrind.
void BlockQuitSignals() {
  sigset_t quit_signals;
  sigemptyset(&quit_signals);
  for (int signal_number : compat::kQuitSignals) {
    sigaddset(&quit_signals, signal_number);
  }
  sigprocmask(SIG_BLOCK, &quit_signals, nullptr);
}

// GLib before 2.76 hands small blocks (every D-Bus message, GVariant and GObject) out of
// caches of its own that never give memory back: a flood of posts would leave the agent
// at its peak for good. From plain malloc, a trim returns it. GLib fixes this choice in
// its own constructor, hence here; later versions use malloc anyway.
void UseMallocForSmallBlocks() {
#ifdef ZELCUPS_GLIB_SMALL_BLOCK_CACHES
  G_GNUC_BEGIN_IGNORE_DEPRECATIONS
  g_slice_set_config(G_SLICE_CONFIG_ALWAYS_MALLOC, TRUE);
  G_GNUC_END_IGNORE_DEPRECATIONS
#endif
}

void BeforeLibrariesStart(int, char **, char **) {
  BlockQuitSignals();
  UseMallocForSmallBlocks();
}

}  // namespace

[[gnu::section(".preinit_array"),
  gnu::used]] void (*const kBeforeLibrariesStart)(int, char **, char **) = BeforeLibrariesStart;
