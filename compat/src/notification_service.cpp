// The Notify call's arguments, shared by the notices and the alerts.
#include "notification_service.h"

namespace {

constexpr char kApplicationName[] = "zelcups-agent";

}  // namespace

GVariant *compat::NotifyArguments(const std::string &icon_uri, const std::string &summary,
                                  const std::string &body,
                                  const std::vector<std::pair<std::string, std::string>> &actions,
                                  guchar urgency, const std::string &image_uri, gint32 expire_ms) {
  GVariantBuilder action_list;
  g_variant_builder_init(&action_list, G_VARIANT_TYPE_STRING_ARRAY);
  for (const auto &[key, label] : actions) {
    g_variant_builder_add(&action_list, "s", key.c_str());
    g_variant_builder_add(&action_list, "s", label.c_str());
  }
  GVariantBuilder hints;
  g_variant_builder_init(&hints, G_VARIANT_TYPE_VARDICT);
  g_variant_builder_add(&hints, "{sv}", "urgency", g_variant_new_byte(urgency));
  if (!image_uri.empty()) {
    g_variant_builder_add(&hints, "{sv}", "image-path", g_variant_new_string(image_uri.c_str()));
  }
  return g_variant_new("(susssasa{sv}i)", kApplicationName, 0u, icon_uri.c_str(), summary.c_str(),
                       body.c_str(), &action_list, &hints, expire_ms);
}
