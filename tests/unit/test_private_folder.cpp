// Which temporary folders the private folder may be made in. Run as root, as the suite
// is; uid 65534 stands for another user.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <string>

#include "scoped_temp_dir.h"
#include "zelcups/private_folder.h"

namespace {

TEST(PrivateFolder, EveryFolderAboveMustBeClosedToOthers) {
  ScopedTempDir temp;
  const std::string t = temp.path();
  const struct {
    const char *name;
    mode_t mode;
    uid_t owner;
  } folders[] = {{"/mine", 0700, 0},        {"/other", 0755, 65534}, {"/other/mine", 0700, 0},
                 {"/open", 0777, 0},        {"/open/mine", 0700, 0}, {"/sticky", 01777, 0},
                 {"/sticky/mine", 0700, 0}, {"/group", 0770, 0}};
  for (const auto &folder : folders) {
    const std::string path = t + folder.name;
    ASSERT_EQ(mkdir(path.c_str(), folder.mode), 0) << path;
    ASSERT_EQ(chmod(path.c_str(), folder.mode), 0) << path;
    ASSERT_EQ(chown(path.c_str(), folder.owner, 0), 0) << path;
  }
  ASSERT_EQ(symlink((t + "/mine").c_str(), (t + "/link").c_str()), 0);
  const struct {
    std::string path;
    bool safe;
  } rows[] = {
      {"/tmp", true},
      {t + "/mine", true},
      {t + "/mine/", true},
      {t + "/sticky/mine", true},
      // Another user's folder, or one others may write in, anywhere above.
      {t + "/other", false},
      {t + "/other/mine", false},
      {t + "/open/mine", false},
      {t + "/group", false},
      {t + "/link", false},
      {"tmp", false},
      {"", false},
  };
  for (size_t i = 0; i < std::size(rows); ++i) {
    EXPECT_EQ(PrivateFolder_IsSafeTemporaryFolder(rows[i].path.c_str()) != 0, rows[i].safe)
        << "row " << i << ": " << rows[i].path;
  }
}

}  // namespace
