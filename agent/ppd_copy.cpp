// Fetching a queue's PPD from the local scheduler with CUPS-Get-PPD.
#include "ppd_copy.h"

#include <cups/cups.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <memory>
#include <vector>

#include "zelcups/scoped.h"

namespace {

constexpr char kTemplateName[] = "/zelcups-agent-XXXXXX.ppd";
constexpr int kTemplateSuffixLength = 4;  // ".ppd"

// Somewhere only this user can read: the session's runtime folder when there is one.
std::string PrivateFolder() {
  for (const char *variable : {"XDG_RUNTIME_DIR", "TMPDIR"}) {
    const char *folder = std::getenv(variable);
    struct stat status {};
    if (folder != nullptr && folder[0] == '/' && stat(folder, &status) == 0 &&
        S_ISDIR(status.st_mode)) {
      return folder;
    }
  }
  return "/tmp";
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

}  // namespace

ScopedPPDCopy::~ScopedPPDCopy() {
  Remove();
}

void ScopedPPDCopy::Remove() {
  if (!path_.empty()) {
    unlink(path_.c_str());
    path_.clear();
  }
}

bool ScopedPPDCopy::Fetch(const char *queue_name) {
  if (queue_name == nullptr || !path_.empty()) {
    return false;
  }
  zelcups::ScopedIPP request = NewGetPPDRequest(queue_name);
  if (!request) {
    return false;
  }
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wdeprecated-declarations"
  zelcups::ScopedHTTP http(httpConnectEncrypt(cupsServer(), ippPort(), cupsEncryption()));
#pragma GCC diagnostic pop
  if (!http) {
    return false;
  }

  std::string name = PrivateFolder() + kTemplateName;
  std::vector<char> writable(name.begin(), name.end());
  writable.push_back('\0');
  // mkstemps creates the file with mode 0600.
  const int fd = mkstemps(writable.data(), kTemplateSuffixLength);
  if (fd < 0) {
    return false;
  }
  path_ = writable.data();

  // cupsDoIORequest takes the request over and writes the PPD that follows the response
  // into fd.
  zelcups::ScopedIPP response(cupsDoIORequest(http.get(), request.release(), "/", -1, fd));
  const bool fetched = response && ippGetStatusCode(response.get()) == IPP_STATUS_OK;
  if (close(fd) != 0 || !fetched) {
    Remove();
    return false;
  }
  return true;
}
