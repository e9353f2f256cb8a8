// The device URI lookup against a scripted IPP responder on loopback, for answers that a
// real scheduler never gives (the real one is exercised by the integration tests).

#include "zelcups/cups_holders.h"
#include "zelcups_common.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cups/cups.h>
#include <cups/language.h>
#include <Carbon/Carbon.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <cctype>
#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

namespace {

using IppPtr = zelcups::ScopedIPP;

// ---- IPP messages in memory ----

struct ReadCursor {
  std::string_view bytes;
};

ssize_t ReadFromCursor(void *context, ipp_uchar_t *buffer, size_t length) {
  auto *cursor = static_cast<ReadCursor *>(context);
  const size_t n = std::min(length, cursor->bytes.size());
  std::memcpy(buffer, cursor->bytes.data(), n);
  cursor->bytes.remove_prefix(n);
  return static_cast<ssize_t>(n);
}

ssize_t WriteToString(void *context, ipp_uchar_t *buffer, size_t length) {
  static_cast<std::string *>(context)->append(reinterpret_cast<const char *>(buffer), length);
  return static_cast<ssize_t>(length);
}

IppPtr ParseIpp(std::string_view bytes) {
  IppPtr ipp(ippNew());
  ReadCursor cursor{bytes};
  if (ippReadIO(&cursor, ReadFromCursor, 1, nullptr, ipp.get()) != IPP_STATE_DATA) {
    return nullptr;
  }
  return ipp;
}

std::string SerializeIpp(ipp_t *ipp) {
  std::string bytes;
  ippSetState(ipp, IPP_STATE_IDLE);
  EXPECT_EQ(ippWriteIO(&bytes, WriteToString, 1, nullptr, ipp), IPP_STATE_DATA);
  return bytes;
}

// One attribute of a scripted response; a group of IPP_TAG_ZERO stands for the separator
// between two printers.
struct Attr {
  ipp_tag_t group;
  const char *name;
  ipp_tag_t value_tag;
  const char *value;
};
constexpr Attr kSeparator = {IPP_TAG_ZERO, nullptr, IPP_TAG_ZERO, nullptr};

void AddAttr(ipp_t *response, const Attr &attr) {
  if (attr.group == IPP_TAG_ZERO) {
    ippAddSeparator(response);
  } else if (attr.value_tag == IPP_TAG_NAMELANG || attr.value_tag == IPP_TAG_TEXTLANG) {
    ippAddString(response, attr.group, attr.value_tag, attr.name, "en", attr.value);
  } else {
    ippAddString(response, attr.group, attr.value_tag, attr.name, nullptr, attr.value);
  }
}

IppPtr NewResponse(ipp_status_t status) {
  IppPtr response(ippNew());
  ippSetStatusCode(response.get(), status);
  ippSetRequestId(response.get(), 1);
  ippAddString(response.get(), IPP_TAG_OPERATION, IPP_TAG_CHARSET, "attributes-charset", nullptr,
               "utf-8");
  ippAddString(response.get(), IPP_TAG_OPERATION, IPP_TAG_LANGUAGE, "attributes-natural-language",
               nullptr, "en");
  return response;
}

// ---- A one-connection-at-a-time HTTP responder ----

struct Reply {
  std::string body;
  size_t send_bytes = std::string::npos;  // fewer: the connection drops mid-response
  bool stall = false;                     // ... or stays open, silent
};

std::string HttpHeader(size_t content_length) {
  return "HTTP/1.1 200 OK\r\nContent-Type: application/ipp\r\nContent-Length: " +
         std::to_string(content_length) + "\r\n\r\n";
}

bool WriteAll(int fd, std::string_view bytes) {
  while (!bytes.empty()) {
    const ssize_t n = send(fd, bytes.data(), bytes.size(), MSG_NOSIGNAL);
    if (n <= 0) {
      return false;
    }
    bytes.remove_prefix(static_cast<size_t>(n));
  }
  return true;
}

// Reads one HTTP request and returns its body; libcups sends a request without a
// document with a Content-Length.
bool ReadHttpRequest(int fd, std::string &body) {
  std::string data;
  char buffer[65536];
  auto fill = [&]() {
    const ssize_t n = recv(fd, buffer, sizeof buffer, 0);
    if (n <= 0) {
      return false;
    }
    data.append(buffer, static_cast<size_t>(n));
    return true;
  };
  size_t header_end;
  while ((header_end = data.find("\r\n\r\n")) == std::string::npos) {
    if (!fill()) {
      return false;
    }
  }
  std::string header = data.substr(0, header_end);
  for (char &c : header) {
    c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  }
  data.erase(0, header_end + 4);

  const size_t length_at = header.find("content-length:");
  if (length_at == std::string::npos) {
    return false;
  }
  const size_t length = std::strtoul(header.c_str() + length_at + 15, nullptr, 10);
  while (data.size() < length) {
    if (!fill()) {
      return false;
    }
  }
  body = data.substr(0, length);
  return true;
}

class Responder {
 public:
  using Script = std::function<Reply(ipp_t *request)>;

  explicit Responder(Script script) : script_(std::move(script)) {
    listen_fd_ = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t size = sizeof address;
    if (bind(listen_fd_, reinterpret_cast<sockaddr *>(&address), size) != 0 ||
        listen(listen_fd_, 8) != 0 ||
        getsockname(listen_fd_, reinterpret_cast<sockaddr *>(&address), &size) != 0) {
      ADD_FAILURE() << "responder cannot listen: " << std::strerror(errno);
    }
    port_ = ntohs(address.sin_port);
    thread_ = std::thread([this] { Serve(); });
  }

  ~Responder() {
    shutdown(listen_fd_, SHUT_RDWR);  // wakes accept()
    thread_.join();
    close(listen_fd_);
  }

  int port() const { return port_; }
  int connections() const { return connections_; }
  int closed_by_client() const { return closed_by_client_; }
  std::vector<std::string> requests() {
    std::lock_guard lock(mutex_);
    return requests_;
  }

 private:
  void Serve() {
    for (;;) {
      const int fd = accept(listen_fd_, nullptr, nullptr);
      if (fd < 0) {
        return;
      }
      ++connections_;
      timeval timeout{5, 0};
      setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &timeout, sizeof timeout);
      Answer(fd);
      close(fd);
    }
  }

  void Answer(int fd) {
    std::string body;
    if (!ReadHttpRequest(fd, body)) {
      return;
    }
    {
      std::lock_guard lock(mutex_);
      requests_.push_back(body);
    }
    IppPtr request = ParseIpp(body);
    const Reply reply = script_(request.get());
    std::string message = HttpHeader(reply.body.size()) + reply.body;
    if (reply.send_bytes != std::string::npos) {
      message.resize(message.size() - reply.body.size() + reply.send_bytes);
    }
    WriteAll(fd, message);
    if (reply.send_bytes != std::string::npos && !reply.stall) {
      return;  // dropped mid-response
    }
    // The connection stays open: the lookup is expected to close it itself.
    pollfd wait{fd, POLLIN, 0};
    char byte;
    if (poll(&wait, 1, 5000) == 1 && recv(fd, &byte, 1, 0) == 0) {
      ++closed_by_client_;
    }
  }

  Script script_;
  int listen_fd_ = -1;
  int port_ = 0;
  std::thread thread_;
  std::atomic<int> connections_{0};
  std::atomic<int> closed_by_client_{0};
  std::mutex mutex_;
  std::vector<std::string> requests_;
};

Responder::Script AnswerWith(IppPtr response) {
  auto body = std::make_shared<std::string>(SerializeIpp(response.get()));
  return [body](ipp_t *) { return Reply{*body}; };
}

// Only this test process is pointed at the responder.
void PointLibcupsAt(int port) {
  const std::string server = "127.0.0.1:" + std::to_string(port);
  cupsSetServer(server.c_str());
  ippSetPort(port);
  cupsSetEncryption(HTTP_ENCRYPTION_NEVER);
}

char kUntouched[] = "untouched";

struct LookupResult {
  int32_t status;
  char *uri;  // kUntouched when the lookup did not write it
};

LookupResult Lookup(const char *queue_name) {
  LookupResult result{0, kUntouched};
  result.status = zelcups_common_queuename_to_cups_device_uri(queue_name, &result.uri);
  return result;
}

// ---- Tests ----

TEST(DeviceUriLookup, TakesTheUriOnlyRightAfterTheMatchingPrinterName) {
  const ipp_tag_t P = IPP_TAG_PRINTER;
  struct Row {
    const char *label;
    ipp_status_t status;
    std::vector<Attr> attributes;
    const char *queue;
    const char *expected;  // nullptr: no URI, the out-pointer stays as it was
  };
  const Row rows[] = {
      {"the queue's own URI",
       IPP_STATUS_OK,
       {{P, "printer-name", IPP_TAG_NAME, "Office"}, {P, "device-uri", IPP_TAG_URI, "usb://X/Y"}},
       "Office",
       "usb://X/Y"},
      {"names compare with case",
       IPP_STATUS_OK,
       {{P, "printer-name", IPP_TAG_NAME, "Office"}, {P, "device-uri", IPP_TAG_URI, "usb://X/Y"}},
       "office",
       nullptr},
      {"a prefix of the name is no match",
       IPP_STATUS_OK,
       {{P, "printer-name", IPP_TAG_NAME, "Office"}, {P, "device-uri", IPP_TAG_URI, "usb://X/Y"}},
       "Off",
       nullptr},
      {"UTF-8 names compare byte for byte",
       IPP_STATUS_OK,
       {{P, "printer-name", IPP_TAG_NAME, "B\xC3\xBCro 2"},
        {P, "device-uri", IPP_TAG_URI, "lpd://10.0.0.5/q"}},
       "B\xC3\xBCro 2",
       "lpd://10.0.0.5/q"},
      {"the second printer of several",
       IPP_STATUS_OK,
       {{P, "printer-name", IPP_TAG_NAME, "Den"},
        {P, "device-uri", IPP_TAG_URI, "socket://10.0.0.7"},
        kSeparator,
        {P, "printer-name", IPP_TAG_NAME, "Office"},
        {P, "device-uri", IPP_TAG_URI, "usb://X/Y"},
        kSeparator,
        {P, "printer-name", IPP_TAG_NAME, "Hall"},
        {P, "device-uri", IPP_TAG_URI, "ipp://hall/ipp"}},
       "Office",
       "usb://X/Y"},
      {"device-uri before printer-name",
       IPP_STATUS_OK,
       {{P, "device-uri", IPP_TAG_URI, "usb://X/Y"}, {P, "printer-name", IPP_TAG_NAME, "Office"}},
       "Office",
       nullptr},
      {"the matching printer-name is the last attribute",
       IPP_STATUS_OK,
       {{P, "printer-name", IPP_TAG_NAME, "Den"},
        {P, "device-uri", IPP_TAG_URI, "socket://10.0.0.7"},
        kSeparator,
        {P, "printer-name", IPP_TAG_NAME, "Office"}},
       "Office",
       nullptr},
      {"a next printer's URI is not this one's",
       IPP_STATUS_OK,
       {{P, "printer-name", IPP_TAG_NAME, "Office"},
        kSeparator,
        {P, "device-uri", IPP_TAG_URI, "usb://X/Y"}},
       "Office",
       nullptr},
      {"printer-name as nameWithLanguage",
       IPP_STATUS_OK,
       {{P, "printer-name", IPP_TAG_NAMELANG, "Office"},
        {P, "device-uri", IPP_TAG_URI, "usb://X/Y"}},
       "Office",
       nullptr},
      {"an attribute between name and URI",
       IPP_STATUS_OK,
       {{P, "printer-name", IPP_TAG_NAME, "Office"},
        {P, "printer-info", IPP_TAG_TEXT, "Second floor"},
        {P, "device-uri", IPP_TAG_URI, "usb://X/Y"}},
       "Office",
       nullptr},
      {"device-uri as text",
       IPP_STATUS_OK,
       {{P, "printer-name", IPP_TAG_NAME, "Office"}, {P, "device-uri", IPP_TAG_TEXT, "usb://X/Y"}},
       "Office",
       nullptr},
      {"printer attributes outside the printer group",
       IPP_STATUS_OK,
       {{IPP_TAG_JOB, "printer-name", IPP_TAG_NAME, "Office"},
        {IPP_TAG_JOB, "device-uri", IPP_TAG_URI, "usb://X/Y"}},
       "Office",
       nullptr},
      {"the attribute after a match is not read as a name",
       IPP_STATUS_OK,
       {{P, "printer-name", IPP_TAG_NAME, "Office"},
        {P, "printer-name", IPP_TAG_NAME, "Office"},
        {P, "device-uri", IPP_TAG_URI, "usb://X/Y"}},
       "Office",
       nullptr},
      {"a repeated name: the last match counts",
       IPP_STATUS_OK,
       {{P, "printer-name", IPP_TAG_NAME, "Office"},
        {P, "device-uri", IPP_TAG_URI, "usb://A/1"},
        kSeparator,
        {P, "printer-name", IPP_TAG_NAME, "Office"},
        {P, "device-uri", IPP_TAG_URI, "usb://B/2"}},
       "Office",
       "usb://B/2"},
      {"an error status without printer attributes",
       IPP_STATUS_ERROR_NOT_FOUND,
       {},
       "Office",
       nullptr},
  };

  for (size_t i = 0; i < std::size(rows); ++i) {
    const Row &row = rows[i];
    IppPtr response = NewResponse(row.status);
    for (const Attr &attr : row.attributes) {
      AddAttr(response.get(), attr);
    }
    Responder responder(AnswerWith(std::move(response)));
    PointLibcupsAt(responder.port());

    LookupResult result = Lookup(row.queue);
    EXPECT_EQ(result.status, 0) << "row " << i << ": " << row.label;
    if (row.expected == nullptr) {
      EXPECT_EQ(result.uri, kUntouched) << "row " << i << ": " << row.label;
    } else {
      ASSERT_NE(result.uri, kUntouched) << "row " << i << ": " << row.label;
      EXPECT_STREQ(result.uri, row.expected) << "row " << i << ": " << row.label;
      std::free(result.uri);
    }
    EXPECT_EQ(responder.connections(), 1) << "row " << i << ": " << row.label;
  }
}

TEST(DeviceUriLookup, SendsGetPrintersForNameAndUri) {
  Responder responder(AnswerWith(NewResponse(IPP_STATUS_OK)));
  PointLibcupsAt(responder.port());

  ASSERT_EQ(Lookup("Office").status, 0);
  const std::vector<std::string> requests = responder.requests();
  ASSERT_EQ(requests.size(), 1u);
  IppPtr request = ParseIpp(requests[0]);
  ASSERT_TRUE(request);
  EXPECT_EQ(ippGetOperation(request.get()), 0x4002);
  EXPECT_EQ(ippGetRequestId(request.get()), 1);

  // The language name as libcups puts it on the wire ("C" goes out as "en").
  cups_lang_t *language = cupsLangGet(nullptr);
  IppPtr scratch(ippNew());
  const char *natural_language =
      ippGetString(ippAddString(scratch.get(), IPP_TAG_OPERATION, IPP_TAG_LANGUAGE, "x", nullptr,
                                language->language),
                   0, nullptr);
  struct Expected {
    const char *name;
    ipp_tag_t value_tag;
    std::vector<std::string> values;
  };
  const Expected expected[] = {
      {"attributes-charset", IPP_TAG_CHARSET, {cupsLangEncoding(language)}},
      {"attributes-natural-language", IPP_TAG_LANGUAGE, {natural_language}},
      {"requested-attributes", IPP_TAG_KEYWORD, {"printer-name", "device-uri"}},
  };
  ipp_attribute_t *attr = ippFirstAttribute(request.get());
  for (size_t i = 0; i < std::size(expected); ++i, attr = ippNextAttribute(request.get())) {
    ASSERT_NE(attr, nullptr) << "row " << i;
    EXPECT_EQ(ippGetGroupTag(attr), IPP_TAG_OPERATION) << "row " << i;
    EXPECT_STREQ(ippGetName(attr), expected[i].name) << "row " << i;
    EXPECT_EQ(ippGetValueTag(attr), expected[i].value_tag) << "row " << i;
    ASSERT_EQ(ippGetCount(attr), static_cast<int>(expected[i].values.size())) << "row " << i;
    for (int v = 0; v < ippGetCount(attr); ++v) {
      EXPECT_EQ(ippGetString(attr, v, nullptr), expected[i].values[v]) << "row " << i;
    }
  }
  EXPECT_EQ(attr, nullptr) << "no attribute beyond the three";
}

TEST(DeviceUriLookup, FindsOneQueueAmongTenThousand) {
  IppPtr response = NewResponse(IPP_STATUS_OK);
  std::vector<std::string> names;
  for (int i = 0; i < 10000; ++i) {
    const std::string name = "Queue-" + std::to_string(i);
    const std::string uri =
        "socket://10.1." + std::to_string(i / 250) + "." + std::to_string(i % 250) + "/" + name;
    if (i > 0) {
      ippAddSeparator(response.get());
    }
    ippAddString(response.get(), IPP_TAG_PRINTER, IPP_TAG_NAME, "printer-name", nullptr,
                 name.c_str());
    ippAddString(response.get(), IPP_TAG_PRINTER, IPP_TAG_URI, "device-uri", nullptr, uri.c_str());
  }
  Responder responder(AnswerWith(std::move(response)));
  PointLibcupsAt(responder.port());

  const char *queues[] = {"Queue-0", "Queue-7777", "Queue-9999", "Queue-777"};
  const char *expected[] = {"socket://10.1.0.0/Queue-0", "socket://10.1.31.27/Queue-7777",
                            "socket://10.1.39.249/Queue-9999", "socket://10.1.3.27/Queue-777"};
  for (size_t i = 0; i < std::size(queues); ++i) {
    LookupResult result = Lookup(queues[i]);
    ASSERT_EQ(result.status, 0) << "row " << i;
    ASSERT_NE(result.uri, kUntouched) << "row " << i;
    EXPECT_STREQ(result.uri, expected[i]) << "row " << i;
    std::free(result.uri);
  }
}

TEST(DeviceUriLookup, ConnectionDroppedMidResponseIsNoAnswer) {
  IppPtr response = NewResponse(IPP_STATUS_OK);
  for (int i = 0; i < 50; ++i) {
    const std::string name = "Queue-" + std::to_string(i);
    ippAddString(response.get(), IPP_TAG_PRINTER, IPP_TAG_NAME, "printer-name", nullptr,
                 name.c_str());
    ippAddString(response.get(), IPP_TAG_PRINTER, IPP_TAG_URI, "device-uri", nullptr, "usb://X/Y");
    ippAddSeparator(response.get());
  }
  const std::string body = SerializeIpp(response.get());
  Responder responder([&body](ipp_t *) { return Reply{body, body.size() / 2}; });
  PointLibcupsAt(responder.port());

  // Queue-3 lies in the half that did arrive: a partial answer still gives nothing.
  LookupResult result = Lookup("Queue-3");
  EXPECT_EQ(result.status, -1);
  EXPECT_EQ(result.uri, kUntouched);
}

TEST(DeviceUriLookup, NullArgumentsSendNothing) {
  Responder responder(AnswerWith(NewResponse(IPP_STATUS_OK)));
  PointLibcupsAt(responder.port());

  char *uri = kUntouched;
  EXPECT_EQ(zelcups_common_queuename_to_cups_device_uri(nullptr, &uri), -1);
  EXPECT_EQ(uri, kUntouched);
  EXPECT_EQ(zelcups_common_queuename_to_cups_device_uri("Office", nullptr), -1);

  // A real lookup afterwards is the responder's first and only connection.
  EXPECT_EQ(Lookup("Office").status, 0);
  EXPECT_EQ(responder.connections(), 1);
  EXPECT_EQ(responder.requests().size(), 1u);
}

TEST(DeviceUriLookup, EachLookupClosesItsOwnConnection) {
  Responder responder(AnswerWith(NewResponse(IPP_STATUS_OK)));
  PointLibcupsAt(responder.port());

  for (int i = 0; i < 3; ++i) {
    EXPECT_EQ(Lookup("Office").status, 0) << "row " << i;
    // The responder keeps its end open; only the lookup's closing ends the connection.
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(5);
    while (responder.closed_by_client() < i + 1 && std::chrono::steady_clock::now() < deadline) {
      std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    EXPECT_EQ(responder.closed_by_client(), i + 1) << "row " << i;
  }
  EXPECT_EQ(responder.connections(), 3);
}

TEST(DeviceUriLookup, NoSchedulerIsNoAnswer) {
  // A port that was free a moment ago and has no listener now.
  const int probe = socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t size = sizeof address;
  ASSERT_EQ(bind(probe, reinterpret_cast<sockaddr *>(&address), size), 0);
  ASSERT_EQ(getsockname(probe, reinterpret_cast<sockaddr *>(&address), &size), 0);
  close(probe);
  PointLibcupsAt(ntohs(address.sin_port));

  LookupResult result = Lookup("Office");
  EXPECT_EQ(result.status, -1);
  EXPECT_EQ(result.uri, kUntouched);
}

// A scheduler that stalls halfway through its answer holds the lookup only until a quit.
TEST(DeviceUriLookupDeathTest, AQuitEndsTheWaitOnAStalledScheduler) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  EXPECT_EXIT(
      {
        GetMainEventLoop();  // from here on the quit signals are caught
        const std::string body = SerializeIpp(NewResponse(IPP_STATUS_OK).get());
        Responder responder([&body](ipp_t *) { return Reply{body, body.size() / 2, true}; });
        PointLibcupsAt(responder.port());
        std::thread quitter([] {
          std::this_thread::sleep_for(std::chrono::milliseconds(300));
          kill(getpid(), SIGTERM);
        });
        const auto start = std::chrono::steady_clock::now();
        const bool ended = Lookup("Office").status == -1 &&
                           std::chrono::steady_clock::now() - start < std::chrono::seconds(1);
        quitter.join();
        exit(ended ? 0 : 1);
      },
      testing::ExitedWithCode(0), "");
}

}  // namespace
