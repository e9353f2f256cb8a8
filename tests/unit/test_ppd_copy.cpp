// A PPD copy is used only when every byte the scheduler sent is on disk: a scripted
// scheduler on loopback ends its answer in each way one can.
#include <arpa/inet.h>
#include <cups/cups.h>
#include <gtest/gtest.h>

#include <fstream>
#include <sstream>
#include <thread>

#include "ppd_copy.h"
#include "scoped_temp_dir.h"

namespace {

TEST(PPDCopy, UsedOnlyWhenTheWholeAnswerIsOnDisk) {
  ScopedTempDir runtime;
  setenv("XDG_RUNTIME_DIR", runtime.path().c_str(), 1);
  // A successful IPP answer with no attributes, then the PPD.
  const std::string answer = std::string("\2\0\0\0\0\0\0\1\3", 9) + "*PPD-Adobe: \"4.3\"\n";
  const std::string ok = "HTTP/1.1 100 Continue\r\n\r\nHTTP/1.1 200 OK\r\n";
  const std::string length = ok + "Content-Length: 27\r\n\r\n";
  const std::string chunked = ok + "Transfer-Encoding: chunked\r\n\r\n1b\r\n" + answer + "\r\n";
  const struct {
    std::string message;
    const char *why;  // empty when the copy is complete
  } rows[] = {
      {length + answer, ""},
      {chunked + "0\r\n\r\n", ""},
      {chunked, "PPD copy incomplete: 18 bytes received"},  // no last chunk
      {length + answer.substr(0, 26), "PPD copy incomplete: 17 of 18 bytes received"},
      {ok + "Content-Length: 99999999\r\n\r\n" + answer, "PPD larger than 16 MiB (99999990 bytes"},
  };
  zelcups::ScopedFd listener(socket(AF_INET, SOCK_STREAM, 0));
  sockaddr_in address{AF_INET, 0, {htonl(INADDR_LOOPBACK)}, {}};
  socklen_t size = sizeof address;
  ASSERT_EQ(bind(listener.get(), reinterpret_cast<sockaddr *>(&address), size), 0);
  ASSERT_EQ(listen(listener.get(), 1), 0);
  ASSERT_EQ(getsockname(listener.get(), reinterpret_cast<sockaddr *>(&address), &size), 0);
  cupsSetServer(("127.0.0.1:" + std::to_string(ntohs(address.sin_port))).c_str());
  ippSetPort(ntohs(address.sin_port));
  for (size_t i = 0; i < std::size(rows); ++i) {
    // The answer, then the connection's end; what the client still sends is read, so that
    // the answer reaches it rather than a reset.
    std::thread scheduler([&] {
      zelcups::ScopedFd fd(accept(listener.get(), nullptr, nullptr));
      send(fd.get(), rows[i].message.data(), rows[i].message.size(), MSG_NOSIGNAL);
      shutdown(fd.get(), SHUT_WR);
      for (char buffer[4096]; recv(fd.get(), buffer, sizeof buffer, 0) > 0;) {
      }
    });
    ScopedPPDCopy copy;
    std::string why;
    const bool complete = copy.Fetch("Office", &why);
    scheduler.join();
    EXPECT_EQ(complete, rows[i].why[0] == '\0') << "row " << i << ": " << why;
    EXPECT_EQ(why.find(rows[i].why), 0U) << "row " << i << ": " << why;
    EXPECT_TRUE(!complete ||
                (std::stringstream() << std::ifstream(copy.read_path()).rdbuf()).str() ==
                    answer.substr(9));
  }
}

}  // namespace
