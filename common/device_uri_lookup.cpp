// Device URI lookup: one CUPS-Get-Printers exchange with the local scheduler.

#include "zelcups_common.h"
#include "zelcups/cups_holders.h"

#include <cups/cups.h>
#include <cups/language.h>

#include "zelcups/pending_posts.h"
#include "zelcups/quit_request.h"
#include "zelcups/time_limits.h"

#include <array>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string_view>

namespace {

constexpr ipp_op_t kGetPrintersOperation = static_cast<ipp_op_t>(0x4002);
constexpr int kRequestId = 1;
constexpr const char *kResource = "/";
constexpr std::string_view kPrinterNameAttribute = "printer-name";
constexpr std::string_view kDeviceUriAttribute = "device-uri";

// Asked for in this order; the response lists each printer's values in the same order,
// which is what lets the URI be taken from the attribute right after the name.
constexpr std::array<const char *, 2> kRequestedAttributes = {
    "printer-name",
    "device-uri",
};

bool IsAttribute(ipp_attribute_t *attribute, std::string_view name, ipp_tag_t value_tag) {
  const char *attribute_name = ippGetName(attribute);
  return attribute_name != nullptr && name == attribute_name &&
         ippGetValueTag(attribute) == value_tag;
}

zelcups::ScopedIPP CreateGetPrintersRequest() {
  zelcups::ScopedIPP request(ippNew());
  if (!request) {
    return nullptr;
  }
  ippSetOperation(request.get(), kGetPrintersOperation);
  ippSetRequestId(request.get(), kRequestId);

  cups_lang_t *language = cupsLangGet(nullptr);
  ippAddString(request.get(), IPP_TAG_OPERATION, IPP_TAG_CHARSET, "attributes-charset", nullptr,
               cupsLangEncoding(language));
  ippAddString(request.get(), IPP_TAG_OPERATION, IPP_TAG_LANGUAGE, "attributes-natural-language",
               nullptr, language != nullptr ? language->language : nullptr);
  ippAddStrings(request.get(), IPP_TAG_OPERATION, IPP_TAG_KEYWORD, "requested-attributes",
                static_cast<int>(kRequestedAttributes.size()), nullptr,
                kRequestedAttributes.data());
  return request;
}

// Printer names are unique in the scheduler, so at most one printer matches; should a
// responder repeat a name, the last match wins and the earlier copy is freed. matched
// tells a URI whose copy could not be allocated (found stays null) from no URI at all.
void FindDeviceUri(ipp_t *response, std::string_view queue_name, char *&found, bool &matched) {
  for (ipp_attribute_t *attribute = ippFirstAttribute(response); attribute != nullptr;
       attribute = ippNextAttribute(response)) {
    if (ippGetGroupTag(attribute) != IPP_TAG_PRINTER) {
      continue;
    }
    if (!IsAttribute(attribute, kPrinterNameAttribute, IPP_TAG_NAME)) {
      continue;
    }
    const char *printer_name = ippGetString(attribute, 0, nullptr);
    if (printer_name == nullptr || queue_name != printer_name) {
      continue;
    }
    // The following attribute is consumed here either way: the walk resumes behind it.
    ipp_attribute_t *next = ippNextAttribute(response);
    if (next == nullptr) {
      break;
    }
    if (!IsAttribute(next, kDeviceUriAttribute, IPP_TAG_URI)) {
      continue;
    }
    const char *uri = ippGetString(next, 0, nullptr);
    if (uri == nullptr) {
      continue;
    }
    std::free(found);
    found = strdup(uri);
    matched = true;
  }
}

// libcups waits on the scheduler as long as it is told to; its callback, called after each
// interval in which nothing came, decides whether to go on. A quit ends the wait within
// the interval; a scheduler silent for kSchedulerSilenceLimit (stopped, or stalled halfway
// through a body) is taken as one that does not answer.
constexpr double kSchedulerCheckSeconds =
    std::chrono::duration<double>(zelcups::kSchedulerCheckInterval).count();

// Callbacks come back to back while the scheduler says nothing; a longer gap between two
// means something came in between, and the silence starts again.
struct SchedulerSilence {
  std::chrono::steady_clock::time_point last_call{};
  std::chrono::steady_clock::time_point since{};
};

int KeepWaitingForScheduler(http_t *, void *data) {
  if (QuitRequest_Received()) {
    return 0;
  }
  PendingPosts_Deliver();
  auto *silence = static_cast<SchedulerSilence *>(data);
  const auto now = std::chrono::steady_clock::now();
  const auto interval = std::chrono::duration<double>(kSchedulerCheckSeconds);
  if (now - silence->last_call > 2 * interval) {
    silence->since =
        now - std::chrono::duration_cast<std::chrono::steady_clock::duration>(interval);
  }
  silence->last_call = now;
  return now - silence->since < zelcups::kSchedulerSilenceLimit ? 1 : 0;
}

}  // namespace

// httpConnectEncrypt is deprecated in libcups 2.x, but it is the call that takes the
// library's defaults for server, port and encryption without extra policy of our own.
http_t *zelcups_common_connect_to_scheduler(void) {
  const http_encryption_t encryption = cupsEncryption();
  const int port = ippPort();
  const char *server = cupsServer();
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wdeprecated-declarations"
  http_t *http = httpConnectEncrypt(server, port, encryption);
#pragma GCC diagnostic pop
  if (http != nullptr) {
    // One connection at a time, on the main thread: one record serves them all, each
    // connection starting it afresh.
    static thread_local SchedulerSilence silence;
    silence = SchedulerSilence{std::chrono::steady_clock::now(), std::chrono::steady_clock::now()};
    httpSetTimeout(http, kSchedulerCheckSeconds, KeepWaitingForScheduler, &silence);
  }
  return http;
}

extern "C" int32_t zelcups_common_queuename_to_cups_device_uri(const char *queue_name,
                                                               char **device_uri) {
  if (queue_name == nullptr || device_uri == nullptr) {
    return -1;
  }

  // A connection of our own for each lookup, closed on return; nothing reuses it.
  zelcups::ScopedHTTP http(zelcups_common_connect_to_scheduler());
  if (!http) {
    return -1;
  }

  zelcups::ScopedIPP request = CreateGetPrintersRequest();
  if (!request) {
    return -1;
  }

  // cupsDoFileRequest takes the request over and deletes it, whatever the outcome.
  zelcups::ScopedIPP response(cupsDoFileRequest(http.get(), request.release(), kResource, nullptr));
  if (!response) {
    return -1;
  }

  char *found = nullptr;
  bool matched = false;
  FindDeviceUri(response.get(), queue_name, found, matched);
  if (matched) {
    *device_uri = found;
  }
  return 0;
}
