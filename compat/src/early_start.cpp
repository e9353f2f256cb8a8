// What the agent must settle before any library it uses starts. Only an executable's
// pre-initialisers run that early (a shared library's constructors run after those of the
// libraries it needs), so this file is linked into the agent itself, not into compat.
#include <glib.h>

namespace {

// GLib before 2.76 hands small blocks (every D-Bus message, GVariant and GObject) out of
// caches of its own that never give memory back: a flood of posts would leave the agent
// at its peak for good. From plain malloc, a trim returns it. GLib fixes this choice in
// its own constructor, hence here; later versions use malloc anyway, and the build leaves
// this file out for them.
void UseMallocForSmallBlocks(int, char **, char **) {
  G_GNUC_BEGIN_IGNORE_DEPRECATIONS
  g_slice_set_config(G_SLICE_CONFIG_ALWAYS_MALLOC, TRUE);
  G_GNUC_END_IGNORE_DEPRECATIONS
}

}  // namespace

[[gnu::section(".preinit_array"),
  gnu::used]] void (*const kBeforeLibrariesStart)(int, char **, char **) = UseMallocForSmallBlocks;
