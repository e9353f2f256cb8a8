// A user who turns the agent off does it the desktop's way, in their own configuration
// folder; the unit for everyone stays enabled (a user's "disable" cannot undo a global
// enable, which is why the mask is the documented way) and the autostart entry for
// everyone stays in place.
#include <glib.h>

#include <cstring>
#include <string>

#include "zelcups/session_instance.h"

namespace {

std::string UserConfigFolder() {
  // GLib's answer follows XDG_CONFIG_HOME, and HOME/.config without it.
  return g_get_user_config_dir();
}

// `systemctl --user mask` links the unit's name to /dev/null in the user's unit folder.
bool Masked(const std::string &unit) {
  g_autofree gchar *target = g_file_read_link(unit.c_str(), nullptr);
  return target != nullptr && std::strcmp(target, "/dev/null") == 0;
}

// An entry of the user's own with the entry's name replaces the system's one; Hidden=true
// in it means "as if the entry did not exist".
bool HiddenEntry(const std::string &entry) {
  g_autoptr(GKeyFile) file = g_key_file_new();
  if (!g_key_file_load_from_file(file, entry.c_str(), G_KEY_FILE_NONE, nullptr)) {
    return false;
  }
  constexpr char kGroup[] = "Desktop Entry";
  const auto flag = [&](const char *key, gboolean when_absent) {
    g_autoptr(GError) error = nullptr;
    const gboolean value = g_key_file_get_boolean(file, kGroup, key, &error);
    return error != nullptr ? when_absent : value;
  };
  return flag("Hidden", FALSE) || !flag("X-GNOME-Autostart-enabled", TRUE);
}

}  // namespace

char *SessionInstance_CopyOptOut(const char *name) {
  if (name == nullptr) {
    return nullptr;
  }
  const std::string config = UserConfigFolder();
  const std::string unit = config + "/systemd/user/" + name + ".service";
  if (Masked(unit)) {
    return strdup(unit.c_str());
  }
  const std::string entry = config + "/autostart/" + name + ".desktop";
  if (HiddenEntry(entry)) {
    return strdup(entry.c_str());
  }
  return nullptr;
}
