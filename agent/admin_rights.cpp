// Whether the desktop user may set up printers, told once at start-up.

#include "zelcups/journal.h"
#include "admin_rights.h"

#include <grp.h>
#include <pwd.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <fstream>
#include <iterator>
#include <sstream>
#include <strings.h>

namespace {

constexpr char kCupsFilesConf[] = "/etc/cups/cups-files.conf";
constexpr std::string_view kSystemGroupDirective = "SystemGroup";
// The scheduler's own default when its configuration names no system group. Debian builds
// it with "lpadmin"; the same default stands in when the configuration cannot be read
// (it is the administrator's choice to make it unreadable), which may then be a wrong
// guess on a system with another default.
constexpr char kDefaultSystemGroup[] = "lpadmin";
constexpr std::string_view kBlanks = " \t\r";

std::vector<std::string_view> SplitWords(std::string_view text) {
  std::vector<std::string_view> words;
  size_t start = text.find_first_not_of(kBlanks);
  while (start != std::string_view::npos) {
    const size_t end = text.find_first_of(kBlanks, start);
    words.push_back(text.substr(start, end == std::string_view::npos ? end : end - start));
    start = end == std::string_view::npos ? end : text.find_first_not_of(kBlanks, end);
  }
  return words;
}

bool EqualsIgnoringCase(std::string_view a, std::string_view b) {
  return a.size() == b.size() && strncasecmp(a.data(), b.data(), a.size()) == 0;
}

std::optional<std::string> ReadFile(const char *path) {
  std::ifstream file(path);
  if (!file) {
    return std::nullopt;
  }
  std::ostringstream text;
  text << file.rdbuf();
  if (file.bad()) {
    return std::nullopt;
  }
  return text.str();
}

// The names of the groups, in order; an ID the group database lacks has none.
std::vector<std::string> GroupNames(const std::vector<gid_t> &ids) {
  std::vector<std::string> names;
  for (const gid_t id : ids) {
    if (const group *entry = getgrgid(id); entry != nullptr && entry->gr_name != nullptr) {
      names.emplace_back(entry->gr_name);
    }
  }
  return names;
}

// The groups the scheduler will find the user in: it asks the group database, not the
// session, so a user added to a group since logging in already counts.
std::vector<std::string> GroupsOfUser(const passwd &user) {
  int count = 32;
  std::vector<gid_t> ids(static_cast<size_t>(count));
  while (getgrouplist(user.pw_name, user.pw_gid, ids.data(), &count) < 0) {
    ids.resize(static_cast<size_t>(count));
  }
  ids.resize(static_cast<size_t>(count));
  return GroupNames(ids);
}

// Without an entry in the user database the process's own groups are all there is.
std::vector<std::string> GroupsOfProcess() {
  std::vector<gid_t> ids(static_cast<size_t>(std::max(getgroups(0, nullptr), 0)));
  const int count = getgroups(static_cast<int>(ids.size()), ids.data());
  ids.resize(static_cast<size_t>(std::max(count, 0)));
  ids.push_back(getegid());
  return GroupNames(ids);
}

}  // namespace

std::vector<std::string> AdminRights_SystemGroups(std::optional<std::string_view> cups_files_conf) {
  std::vector<std::string> groups;
  std::string_view rest = cups_files_conf.value_or(std::string_view());
  while (!rest.empty()) {
    const size_t newline = rest.find('\n');
    std::string_view line = rest.substr(0, newline);
    rest = newline == std::string_view::npos ? std::string_view() : rest.substr(newline + 1);
    // As the scheduler reads its configuration: a "#" starts a comment, directive names
    // are matched in any case, and every SystemGroup line adds its groups.
    line = line.substr(0, line.find('#'));
    const std::vector<std::string_view> words = SplitWords(line);
    if (words.size() < 2 || !EqualsIgnoringCase(words.front(), kSystemGroupDirective)) {
      continue;
    }
    for (auto word = std::next(words.begin()); word != words.end(); ++word) {
      if (std::find(groups.begin(), groups.end(), *word) == groups.end()) {
        groups.emplace_back(*word);
      }
    }
  }
  if (groups.empty()) {
    groups.emplace_back(kDefaultSystemGroup);
  }
  return groups;
}

std::optional<std::string> AdminRights_Warning(std::string_view user_name, bool is_root,
                                               const std::vector<std::string> &user_groups,
                                               const std::vector<std::string> &system_groups) {
  if (is_root) {
    return std::nullopt;
  }
  for (const std::string &group : system_groups) {
    if (std::find(user_groups.begin(), user_groups.end(), group) != user_groups.end()) {
      return std::nullopt;
    }
  }
  std::string allowed;
  for (size_t i = 0; i < system_groups.size(); ++i) {
    if (i > 0) {
      allowed += i + 1 == system_groups.size() ? " or " : ", ";
    }
    allowed += system_groups[i];
  }
  std::string line = "zelcups-agent: the user ";
  line += user_name.empty() ? std::string_view("(unknown)") : user_name;
  line +=
      " may not administer printers, so new printers of the Arvex QRX5 driver family will "
      "not be set up for this user; membership in the group";
  line += system_groups.size() > 1 ? "s " : " ";
  line += allowed;
  line += " allows it";
  return line;
}

// Asked afresh each time, of the same databases the scheduler asks.
std::optional<std::string> AdminRights_CurrentWarning(void) {
  const uid_t uid = geteuid();
  const passwd *user = getpwuid(uid);
  std::string name;
  std::vector<std::string> groups;
  if (user != nullptr && user->pw_name != nullptr) {
    name = user->pw_name;
    groups = GroupsOfUser(*user);
  } else {
    name = std::to_string(uid);
    groups = GroupsOfProcess();
  }
  const std::optional<std::string> text = ReadFile(kCupsFilesConf);
  return AdminRights_Warning(name, uid == 0, groups, AdminRights_SystemGroups(text));
}

void AdminRights_WarnIfNotAdministrator(void) {
  if (const std::optional<std::string> line = AdminRights_CurrentWarning()) {
    fprintf(stderr, "%s%s\n", Journal_Prefix(kJournalWarning), line->c_str());
  }
}

bool AdminRights_UserMayAdminister(void) {
  return !AdminRights_CurrentWarning().has_value();
}
