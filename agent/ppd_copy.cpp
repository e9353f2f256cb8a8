// Fetching a queue's PPD from the local scheduler with CUPS-Get-PPD. A cut-short copy
// would become the queue's PPD through lpadmin, so every byte the scheduler sent must be
// on disk, or the copy is not used.
#include "ppd_copy.h"

#include <cups/cups.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <array>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "zelcups/quit_request.h"
#include "zelcups/cups_holders.h"
#include "zelcups/file_write.h"
#include "zelcups/holders.h"
#include "zelcups/private_folder.h"
#include "zelcups_common.h"

namespace {

constexpr char kTemplateName[] = "/zelcups-agent-XXXXXX.ppd";
constexpr int kTemplateSuffixLength = 4;  // ".ppd"
constexpr char kIncomplete[] = "PPD copy incomplete: ";

std::string TooLarge(std::int64_t bytes) {
  return "PPD larger than " + std::to_string(kMaxPPDCopyBytes >> 20) + " MiB (" +
         std::to_string(bytes) + " bytes or more), not fetched";
}

// The printer is named by its URI inside the IPP request rather than in an HTTP path:
// the scheduler refuses GET /printers/NAME.ppd for names holding "<" or ">", which it
// accepts as queue names all the same.
zelcups::ScopedIPP NewGetPPDRequest(const char *queue_name) {
  char printer_uri[HTTP_MAX_URI];
  if (httpAssembleURIf(HTTP_URI_CODING_ALL, printer_uri, sizeof(printer_uri), "ipp", nullptr,
                       "localhost", 0, "/printers/%s", queue_name) != HTTP_URI_STATUS_OK) {
    return nullptr;
  }
  zelcups::ScopedIPP request(ippNewRequest(IPP_OP_CUPS_GET_PPD));
  if (request) {
    ippAddString(request.get(), IPP_TAG_OPERATION, IPP_TAG_URI, "printer-uri", nullptr,
                 printer_uri);
  }
  return request;
}

// Copies the PPD that follows the scheduler's IPP answer into fd and makes it durable.
// Complete means: the whole HTTP message was read (its Content-Length, or the last chunk
// of a chunked one), every byte of it was written, and fsync succeeded.
bool CopyBody(http_t *http, int fd, std::string *why) {
  const bool chunked = httpIsChunked(http) != 0;
  const auto expected = chunked ? -1 : static_cast<std::int64_t>(httpGetRemaining(http));
  const std::string of_expected = expected < 0 ? "" : " of " + std::to_string(expected);
  if (expected > kMaxPPDCopyBytes) {
    *why = TooLarge(expected);
    return false;
  }
  std::array<char, 32 * 1024> buffer;
  std::int64_t total = 0;
  ssize_t got = 0;
  while ((got = httpRead2(http, buffer.data(), buffer.size())) > 0) {
    // The scheduler may go on sending for seconds; a quit does not wait for it.
    if (QuitRequest_Received()) {
      *why = kIncomplete + std::string("the agent was asked to quit");
      return false;
    }
    if (total + got > kMaxPPDCopyBytes) {
      *why = TooLarge(total + got);
      return false;
    }
    if (!zelcups::WriteAll(fd, std::string_view(buffer.data(), static_cast<std::size_t>(got)))) {
      *why = kIncomplete + std::to_string(total) + of_expected +
             " bytes written: " + std::strerror(errno);
      return false;
    }
    total += got;
  }
  // A chunked body cut before its last chunk ends like a whole one, but for the error the
  // connection's end left.
  if (got < 0 || httpError(http) != 0 || httpGetState(http) != HTTP_STATE_WAITING ||
      (expected >= 0 && total != expected)) {
    *why = kIncomplete + std::to_string(total) + of_expected + " bytes received";
    return false;
  }
  if (fsync(fd) != 0) {
    *why = kIncomplete + std::string("fsync: ") + std::strerror(errno);
    return false;
  }
  return true;
}

}  // namespace

ScopedPPDCopy::~ScopedPPDCopy() {
  Remove();
}

void ScopedPPDCopy::Remove() {
  if (!path_.empty()) {
    unlink(path_.c_str());
    path_.clear();
  }
  read_fd_.reset();
  read_path_.clear();
}

bool ScopedPPDCopy::Fetch(const char *queue_name, std::string *why) {
  std::string ignored;
  why = why != nullptr ? why : &ignored;
  if (queue_name == nullptr || !path_.empty()) {
    *why = "no PPD copy made";
    return false;
  }
  const char *folder = PrivateFolder_Path();
  if (folder == nullptr) {
    *why = "no private folder for the PPD copy";
    return false;
  }
  zelcups::ScopedIPP request = NewGetPPDRequest(queue_name);
  if (!request) {
    *why = "the queue's name does not fit a printer URI";
    return false;
  }
  zelcups::ScopedHTTP http(zelcups_common_connect_to_scheduler());
  if (!http || cupsSendRequest(http.get(), request.get(), "/", ippLength(request.get())) !=
                   HTTP_STATUS_CONTINUE) {
    *why = "the scheduler did not answer the PPD request";
    return false;
  }
  zelcups::ScopedIPP response(cupsGetResponse(http.get(), "/"));
  if (!response || ippGetStatusCode(response.get()) != IPP_STATUS_OK) {
    *why = std::string("the scheduler has no PPD for the queue: ") +
           ippErrorString(response ? ippGetStatusCode(response.get()) : cupsLastError());
    return false;
  }

  std::string name = folder + std::string(kTemplateName);
  std::vector<char> writable(name.begin(), name.end());
  writable.push_back('\0');
  // Mode 0600; lpadmin, started later, must not inherit the descriptor.
  zelcups::ScopedFd fd(mkostemps(writable.data(), kTemplateSuffixLength, O_CLOEXEC));
  if (fd.get() < 0) {
    *why = kIncomplete + std::string("cannot create the copy: ") + std::strerror(errno);
    return false;
  }
  path_ = writable.data();
  bool complete = CopyBody(http.get(), fd.get(), why);
  if (complete) {
    // A descriptor of its own for reading, opened through the one that wrote the file,
    // so that no name is looked up again.
    const std::string written = "/proc/self/fd/" + std::to_string(fd.get());
    read_fd_.reset(open(written.c_str(), O_RDONLY | O_CLOEXEC));
    if (read_fd_.get() < 0) {
      *why = kIncomplete + std::string("cannot read the copy back: ") + std::strerror(errno);
      complete = false;
    }
  }
  // A close that fails may have lost what was written (some file systems write only then).
  if (close(fd.release()) != 0 && complete) {
    *why = kIncomplete + std::string("close: ") + std::strerror(errno);
    complete = false;
  }
  if (!complete) {
    Remove();
    return false;
  }
  read_path_ = "/proc/self/fd/" + std::to_string(read_fd_.get());
  return true;
}
