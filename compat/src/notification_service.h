// The freedesktop notification service, as both the notices and the alerts speak to it.
#ifndef COMPAT_SRC_NOTIFICATION_SERVICE_H
#define COMPAT_SRC_NOTIFICATION_SERVICE_H

#include <gio/gio.h>

#include <string>
#include <utility>
#include <vector>

namespace compat {

inline constexpr char kNotificationService[] = "org.freedesktop.Notifications";
inline constexpr char kNotificationPath[] = "/org/freedesktop/Notifications";

// The arguments of one Notify call (a floating GVariant): this application's name, no
// notice to replace, the icon's URI (or none), summary, body, the actions as (key, label)
// pairs, the urgency hint and, when image_uri is not empty, the image-path hint. An
// expire timeout of 0 keeps the notice until the user dismisses it.
GVariant *NotifyArguments(const std::string &icon_uri, const std::string &summary,
                          const std::string &body,
                          const std::vector<std::pair<std::string, std::string>> &actions,
                          guchar urgency, const std::string &image_uri, gint32 expire_ms);

// Whether so many notices wait for the service's answer that posts are better held back
// (and the oldest dropped) than turned into more: a slow service would otherwise make
// the calls pile up in the process.
bool NoticesBackedUp();
// An alert waits (or no longer does): posts that come meanwhile are held in fewer numbers.
void NoteAlertWaiting(bool waiting);
// The notices in flight fell back under the limit: held posts are handed on again.
void ResumePostDelivery();

}  // namespace compat

#endif
