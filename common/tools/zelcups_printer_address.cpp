// zelcups-printer-address URI: reads a backend URI that the agent wrote for a queue
// (xvtdbmu://TYPE/QUEUE/ADDRESS, as `lpstat -v` shows it) and prints the connection type
// and the printer-address record as an XML property list. For a URI that cannot be read
// it names the result code and what it means, and exits with status 1.
#include "zelcups_common.h"
#include "zelcups/scoped.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace {

constexpr int kExitRefused = 1;
constexpr int kExitUsage = 2;

struct ResultMeaning {
  int32_t code;
  const char *meaning;
};

constexpr ResultMeaning kResultMeanings[] = {
    {-50,
     "bad parameter: the URI is not of the form SCHEME://TYPE/QUEUE/ADDRESS, or a part of it "
     "or a text made from it is 1024 bytes or longer"},
    {-108,
     "a text of the record could not be made: it is not valid in the system's character "
     "encoding (or memory ran out)"},
    {-9786, "unknown connection type: it is none of ZEL_QRX5_LPR, ZEL_QRX5_LPRv6, DNSSD and USB"},
    {-1, "the IPv6 address could not be escaped (memory ran out)"},
};

const char *MeaningOf(int32_t code) {
  for (const ResultMeaning &row : kResultMeanings) {
    if (row.code == code) {
      return row.meaning;
    }
  }
  return "unexpected result";
}

}  // namespace

int main(int argc, char **argv) {
  if (argc != 2 || strcmp(argv[1], "--help") == 0) {
    fprintf(stderr,
            "usage: zelcups-printer-address URI\n"
            "Prints the connection type and the printer-address record (XML property list)\n"
            "of a backend URI such as xvtdbmu://ZEL_QRX5_LPR/Office/lpd://10.0.0.5\n");
    return kExitUsage;
  }
  zelcups::ScopedCFTypeRef<CFStringRef> connection_type;
  zelcups::ScopedCFTypeRef<CFDataRef> record;
  const int32_t status = zelcups_common_create_printer_address(
      argv[1], connection_type.InitializeInto(), record.InitializeInto());
  if (status != 0) {
    fprintf(stderr, "zelcups-printer-address: cannot read %s: result %d: %s\n", argv[1],
            static_cast<int>(status), MeaningOf(status));
    return kExitRefused;
  }
  char *type_text = nullptr;
  if (zelcups_common_cfstring_to_cstring(connection_type.get(), &type_text) != 0) {
    fprintf(stderr, "zelcups-printer-address: out of memory\n");
    return kExitRefused;
  }
  printf("Connection type: %s\n", type_text);
  free(type_text);
  fwrite(CFDataGetBytePtr(record.get()), 1, static_cast<size_t>(CFDataGetLength(record.get())),
         stdout);
  return fflush(stdout) == 0 ? 0 : kExitRefused;
}
