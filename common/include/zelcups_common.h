/*
 * zelcups_common: the CUPS helpers shared by the agent, the backend and the maker's
 * other tools. Strings handed out are malloc()ed; the caller frees them with free().
 */
#ifndef ZELCUPS_COMMON_H
#define ZELCUPS_COMMON_H

#include <stdbool.h>
#include <stdint.h>
#include <time.h>

#include <CoreFoundation/CoreFoundation.h>
#include <cups/http.h>

#ifdef __cplusplus
extern "C" {
#endif

/* ---- Queue list: a snapshot of the PPD directory, one queue per "*.ppd" entry ---- */

typedef struct QueueEntry {
  char *queue_name;            /* file name without ".ppd"; owned by the list */
  int32_t modify_timestamp;    /* st_mtime in whole seconds; 0 when unreadable */
  struct timespec modify_time; /* the same time at full resolution, for comparisons */
} QueueEntry;

typedef struct QueueList {
  int32_t queue_count;
  QueueEntry *entries; /* one zero-filled slot per scanned entry; NULL when none */
} QueueList;

/* The scheduler's PPD folder: one "QUEUE.ppd" file per queue. */
#define ZELCUPS_COMMON_PPD_DIRECTORY "/etc/cups/ppd"
/* The folder that the queue list scans and the agent looks in: the scheduler's, unless a
   unit test named another (queue_list_testing.h). */
const char *zelcups_common_cups_ppd_directory(void);

QueueList *zelcups_common_cups_queuelist_initialize(int32_t *queue_count);
void zelcups_common_cups_queuelist_terminate(QueueList *list);
const char *zelcups_common_cups_queuelist_get_queue_name(const QueueList *list, int32_t index);
int32_t zelcups_common_cups_queuelist_get_queue_modify_timestamp(const QueueList *list,
                                                                 int32_t index);
/* The entry's modification time at full resolution; {0, 0} outside the list. */
struct timespec zelcups_common_cups_queuelist_get_queue_modify_time(const QueueList *list,
                                                                    int32_t index);

/* ---- PPD keyword reader ---- */

typedef struct PpdOption {
  char *key;
  char *value;
} PpdOption;

typedef struct PpdOptionRequest {
  const char *ppd_path;
  bool check_header;
  const char *pc_file_name;
  const char *manufacturer;
  const char *pdl_type;
  const char *key_prefix;
  PpdOption *options;
  int32_t *option_count; /* in: capacity of options; out: pairs found */
} PpdOptionRequest;

bool zelcups_common_check_pdl_type_by_ppd_file(const char *ppd_path, const char *pdl_type);
bool zelcups_common_check_and_get_ppd_option_list(PpdOptionRequest request);

/* ---- Device URI lookup over IPP ---- */

/* A connection to the local scheduler with the library's defaults for server, port and
   encryption; null when it cannot be made. The caller closes it with httpClose. Its waits
   give up on a quit request and after 30 s in which the scheduler sent nothing. */
http_t *zelcups_common_connect_to_scheduler(void);

/* 0 when the scheduler answered (*device_uri set only when the queue has a URI),
   -1 when it could not be asked. */
int32_t zelcups_common_queuename_to_cups_device_uri(const char *queue_name, char **device_uri);

/* ---- Character escaping and decoding ---- */

typedef bool (*zelcups_charactor_predicate)(char charactor);

/* Writes byte as a percent escape, "%" and two upper-case hex digits, into escape[0..2]. */
void zelcups_common_write_percent_escape(uint8_t byte, char escape[3]);

int32_t zelcups_common_convert_charactor_to_fall_under_into_hex_string(
    const char *source, uint32_t source_length, zelcups_charactor_predicate predicate,
    char **result);
int32_t zelcups_common_convert_charactor_for_lpadmin_command_line(const char *source,
                                                                  uint32_t source_length,
                                                                  char **result);
int32_t zelcups_common_convert_charactor_for_ipv6_address(const char *source,
                                                          uint32_t source_length, char **result);
int32_t zelcups_common_convert_charactor_for_usb_and_mdns_uri(const char *source,
                                                              uint32_t source_length,
                                                              char **result);
int32_t zelcups_common_get_utf8_one_charactor_length(uint8_t lead_byte);
void zelcups_common_convert_hexcode_string_in_uri(char *destination, const char *source,
                                                  int32_t source_length, char marker,
                                                  int8_t digit_count);
int32_t zelcups_common_cfstring_to_cstring(CFStringRef string, char **result);

/* ---- IPv6 addresses ---- */

/* The buffer behind text needs 4 spare bytes when both separators are non-zero. */
bool zelcups_common_check_ipv6_address(char *text, char old_separator, char new_separator,
                                       char **address_start, char **address_end,
                                       char **zone_position);
bool zelcups_common_check_ipv6_link_local_address(const char *text);
char *zelcups_common_get_ipv6_interfaceId_top_pointer(const char *text, char charactor);

/* ---- Printer address records ---- */

int32_t zelcups_common_create_printer_address(const char *uri, CFStringRef *connection_type,
                                              CFDataRef *address_data);
int32_t zelcups_common_separate_driver_uri(const char *uri, char *scheme, char *connection_type,
                                           char *queue, char *address);
int32_t zelcups_common_create_printer_address_for_lpr(CFStringRef connection_type,
                                                      const char *address, CFDataRef *address_data);
int32_t zelcups_common_create_printer_address_for_mdns(CFStringRef connection_type,
                                                       const char *address,
                                                       CFDataRef *address_data);
int32_t zelcups_common_create_printer_address_for_usb(CFStringRef connection_type,
                                                      const char *address, CFDataRef *address_data);
CFStringRef zelcups_common_get_mdns_cfstring_service_name_from_uri(const char *address);

#ifdef __cplusplus
}

#include <string_view>

namespace zelcups {

/* The one rule, shared by the watcher that writes addresses and the reader of printer
 * addresses, that a network host followed by a port is not IPv6: true when the host part
 * of text (up to its first "/") is an IPv4 address or a name followed by ":" and 1 to 5
 * digits. The IPv6 test of this module counts any colon as IPv6; such a host is written,
 * and read back, whole. */
bool IsHostWithPort(std::string_view text);

}  // namespace zelcups
#endif

#endif
