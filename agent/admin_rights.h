// Whether the desktop user may set up printers. The scheduler lets only the members of its
// system group administer printers; for anyone else the lpadmin call that re-points a new
// queue is refused, with an error line in the scheduler's log each time. Start-up says so
// once, and no queue is tried while it holds.
#ifndef ZELCUPS_AGENT_ADMIN_RIGHTS_H
#define ZELCUPS_AGENT_ADMIN_RIGHTS_H

#include <optional>
#include <string>
#include <string_view>
#include <vector>

// The system groups that the scheduler's file configuration (the text of cups-files.conf)
// names, in order; the scheduler's built-in default when the text is missing or names
// none.
std::vector<std::string> AdminRights_SystemGroups(std::optional<std::string_view> cups_files_conf);

// The line to write for a user who is neither root nor a member of any of the system
// groups; nothing for one who may administer printers.
std::optional<std::string> AdminRights_Warning(std::string_view user_name, bool is_root,
                                               const std::vector<std::string> &user_groups,
                                               const std::vector<std::string> &system_groups);

// The line for the user the agent runs as, asked afresh; nothing when the user may
// administer printers.
std::optional<std::string> AdminRights_CurrentWarning(void);

// Checks the user the agent runs as against the scheduler's configuration and writes the
// line on standard error when the user may not administer printers.
void AdminRights_WarnIfNotAdministrator(void);

// The same check, asked again before each queue: a user added to the system group since
// logging in already counts, as the scheduler asks the group database and not the session.
bool AdminRights_UserMayAdminister(void);

#endif
