// Who is told at start-up that new printers will not be set up for them.
#include "admin_rights.h"

#include <gtest/gtest.h>

#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace {

using Groups = std::vector<std::string>;

struct SystemGroupsCase {
  const char *what;
  std::optional<std::string_view> conf;
  Groups expected;
};

TEST(AdminRightsTest, SystemGroupsAsTheSchedulerReadsThem) {
  const SystemGroupsCase cases[] = {
      // the file
      {"unreadable: the built-in default", std::nullopt, {"lpadmin"}},
      {"empty: the built-in default", "", {"lpadmin"}},
      {"no SystemGroup line", "User lp\nGroup lp\n", {"lpadmin"}},
      {"Debian's line", "SystemGroup lpadmin\n", {"lpadmin"}},
      {"several groups, in order", "SystemGroup root lpadmin\n", {"root", "lpadmin"}},
      {"several lines add up",
       "SystemGroup sys\nUser lp\nSystemGroup wheel sys\n",
       {"sys", "wheel"}},
      {"last line without a newline", "User lp\nSystemGroup wheel", {"wheel"}},
      // spelling
      {"directive in any case", "systemgroup adm\n", {"adm"}},
      {"tabs, blanks and CRLF", "\t SystemGroup\tadm \t wheel\r\n", {"adm", "wheel"}},
      {"a directive of a longer name", "SystemGroups adm\nSystemGroupX adm\n", {"lpadmin"}},
      {"a directive with no groups", "SystemGroup\n", {"lpadmin"}},
      // comments
      {"commented out", "#SystemGroup adm\n", {"lpadmin"}},
      {"indented comment", "  # SystemGroup adm\n", {"lpadmin"}},
      {"comment behind the groups", "SystemGroup adm # not wheel\n", {"adm"}},
  };
  for (size_t i = 0; i < std::size(cases); ++i) {
    EXPECT_EQ(AdminRights_SystemGroups(cases[i].conf), cases[i].expected)
        << "row " << i << ": " << cases[i].what;
  }
}

struct WarningCase {
  const char *what;
  bool is_root;
  Groups user_groups;
  Groups system_groups;
  // nullptr: no line; otherwise the text that names the allowing groups.
  const char *allowed;
};

TEST(AdminRightsTest, WarnsExactlyTheUsersOutsideTheSystemGroups) {
  const WarningCase cases[] = {
      {"member of the system group", false, {"desk", "lpadmin"}, {"lpadmin"}, nullptr},
      {"member of one of several", false, {"desk", "wheel"}, {"lpadmin", "wheel"}, nullptr},
      {"root, in no system group", true, {"root"}, {"lpadmin"}, nullptr},
      {"root, whatever the groups", true, {}, {"lpadmin"}, nullptr},
      {"outside the system group", false, {"guest"}, {"lpadmin"}, "group lpadmin allows it"},
      {"in lp, which is not it", false, {"guest", "lp"}, {"lpadmin"}, "group lpadmin allows it"},
      {"no groups at all", false, {}, {"lpadmin"}, "group lpadmin allows it"},
      {"case matters in group names", false, {"LPADMIN"}, {"lpadmin"}, "group lpadmin allows it"},
      {"outside two", false, {"guest"}, {"root", "lpadmin"}, "groups root or lpadmin allows it"},
      {"outside three",
       false,
       {"guest"},
       {"root", "sys", "lpadmin"},
       "groups root, sys or lpadmin allows it"},
  };
  for (size_t i = 0; i < std::size(cases); ++i) {
    const WarningCase &row = cases[i];
    const std::optional<std::string> line =
        AdminRights_Warning("guest", row.is_root, row.user_groups, row.system_groups);
    if (row.allowed == nullptr) {
      EXPECT_FALSE(line.has_value()) << "row " << i << ": " << row.what << ": " << *line;
      continue;
    }
    ASSERT_TRUE(line.has_value()) << "row " << i << ": " << row.what;
    EXPECT_NE(line->find(row.allowed), std::string::npos)
        << "row " << i << ": " << row.what << ": " << *line;
    EXPECT_NE(line->find("user guest"), std::string::npos) << "row " << i << ": " << *line;
    EXPECT_NE(line->find("will not be set up"), std::string::npos) << "row " << i << ": " << *line;
    // One line on standard error: the newline is the writer's.
    EXPECT_EQ(line->find('\n'), std::string::npos) << "row " << i << ": " << *line;
  }
}

}  // namespace
