/*
 * A C program built against the installed headers and pkg-config files alone: the common
 * module's record builder (through the shared compat library) and the plug-in bridge
 * (loading the driver directory given as argv[1]) must link and work.
 */
#include <stdio.h>
#include <string.h>

#include <CommonLib.h>
#include <Info.h>
#include <zelcups_common.h>

static bool Contains(const UInt8 *bytes, CFIndex length, const char *text) {
  size_t text_length = strlen(text);
  for (CFIndex i = 0; i + (CFIndex)text_length <= length; i++) {
    if (memcmp(bytes + i, text, text_length) == 0) {
      return true;
    }
  }
  return false;
}

int main(int argc, char **argv) {
  if (argc != 2) {
    fprintf(stderr, "usage: %s DRIVER_DIR\n", argv[0]);
    return 2;
  }
  int failures = 0;

  CFStringRef connection_type = NULL;
  CFDataRef record = NULL;
  int32_t result = zelcups_common_create_printer_address(
      "xvtdbmu://ZEL_QRX5_LPR/Office/lpd://10.0.0.9", &connection_type, &record);
  if (result != 0 || record == NULL || CFDataGetLength(record) <= 0) {
    fprintf(stderr, "FAIL: no printer-address record (result %d)\n", (int)result);
    failures++;
  } else if (!Contains(CFDataGetBytePtr(record), CFDataGetLength(record), "lpd://10.0.0.9")) {
    fprintf(stderr, "FAIL: the record lacks the printer's address\n");
    failures++;
  }
  if (connection_type != NULL) {
    CFRelease(connection_type);
  }
  if (record != NULL) {
    CFRelease(record);
  }

  if (!zelcups_common_check_ipv6_link_local_address("fe80::1%eth0")) {
    fprintf(stderr, "FAIL: fe80::1%%eth0 is link-local\n");
    failures++;
  }

  InfoInstance *instance = Info_Initialize(argv[1], "Office", "none", false, NULL);
  if (instance == NULL) {
    fprintf(stderr, "FAIL: the bridge did not load the plug-in of %s\n", argv[1]);
    failures++;
  }
  Info_Terminate(instance);

  if (failures == 0) {
    printf("PASS: linked against the installed libraries\n");
  }
  return failures == 0 ? 0 : 1;
}
