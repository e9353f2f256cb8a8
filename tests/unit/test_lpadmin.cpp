#include <gtest/gtest.h>
#include <sys/stat.h>

#include <csignal>

#include <fstream>
#include <string>
#include <vector>

#include "lpadmin.h"
#include "scoped_temp_dir.h"

namespace {

void WriteProgram(const std::string &path, const std::string &body, mode_t mode = 0755) {
  std::ofstream(path) << "#!/bin/sh\n" << body << "\n";
  ASSERT_EQ(chmod(path.c_str(), mode), 0);
}

TEST(Lpadmin, FirstExecutableOnPathThenInTheSbinFoldersWins) {
  ScopedTempDir temp;
  const std::string dir = temp.path();
  for (const char *folder : {"/run", "/plain", "/folder", "/sbin", "/usr-sbin"}) {
    ASSERT_EQ(mkdir((dir + folder).c_str(), 0755), 0);
  }
  WriteProgram(dir + "/run/lpadmin", "exit 0");
  WriteProgram(dir + "/plain/lpadmin", "exit 0", 0644);
  ASSERT_EQ(mkdir((dir + "/folder/lpadmin").c_str(), 0755), 0);
  WriteProgram(dir + "/usr-sbin/lpadmin", "exit 0");
  const std::string sbin_folders[] = {dir + "/sbin", dir + "/usr-sbin"};
  const std::vector<std::string_view> sbin(std::begin(sbin_folders), std::end(sbin_folders));
  const struct {
    std::string path;
    std::string expected;
  } rows[] = {
      {dir + "/run", dir + "/run/lpadmin"},
      {dir + "/plain:" + dir + "/folder:" + dir + "/run", dir + "/run/lpadmin"},
      // Debian's PATH for ordinary users: not there, found in an sbin folder.
      {"/nonexistent/bin:" + dir + "/plain", dir + "/usr-sbin/lpadmin"},
      {"", dir + "/usr-sbin/lpadmin"},
      // A relative folder would depend on where the agent runs.
      {"run:.:" + dir + "/folder", dir + "/usr-sbin/lpadmin"},
  };
  for (size_t i = 0; i < std::size(rows); ++i) {
    EXPECT_EQ(Lpadmin_FindIn(rows[i].path.c_str(), sbin), rows[i].expected)
        << "row " << i << ": " << rows[i].path;
  }
}

TEST(Lpadmin, ExitStatusAndStandardErrorAreRead) {
  ScopedTempDir temp;
  const std::string program = temp.path() + "/lpadmin";
  const struct {
    const char *body;
    std::string reason;
  } rows[] = {
      {"echo 'Printer drivers are deprecated' >&2; echo out; exit 0", ""},
      {"echo 'lpadmin: Printer drivers are deprecated' >&2; echo 'lpadmin: Bad device-uri scheme "
       "\"xvtdbmu\".' >&2; echo >&2; exit 1",
       "lpadmin failed (status 1): lpadmin: Bad device-uri scheme \"xvtdbmu\"."},
      // Each argument arrives as it was given, never seen by a shell.
      {"printf '%s  %s \\n' \"$#\" \"$2\" >&2; exit 3", "lpadmin failed (status 3): 2  a;$(id)`x`"},
      {"kill -9 $$", "lpadmin failed (signal 9)"},
      // None of the agent's ignored or blocked signals (below) reach it: signals 1 to 28
      // (glibc keeps 32 and 33 for itself).
      {"echo $(for f in SigBlk SigIgn; do grep $f /proc/$$/status | tail -c 8; done) >&2; exit 4",
       "lpadmin failed (status 4): 0000000 0000000"},
  };
  signal(SIGPIPE, SIG_IGN);  // as GIO does
  sigset_t quit;
  sigemptyset(&quit);
  sigaddset(&quit, SIGTERM);
  sigprocmask(SIG_BLOCK, &quit, nullptr);
  for (size_t i = 0; i < std::size(rows); ++i) {
    WriteProgram(program, rows[i].body);
    const LpadminResult result = Lpadmin_RunProgram(program, {"-p", "a;$(id)`x`"});
    EXPECT_TRUE(result.started) << "row " << i;
    EXPECT_EQ(Lpadmin_FailureReason(result), rows[i].reason) << "row " << i;
  }
  EXPECT_EQ(Lpadmin_FailureReason(Lpadmin_RunProgram("", {})),
            "lpadmin not found on PATH nor in /usr/local/sbin, /usr/sbin, /sbin");
}

}  // namespace
