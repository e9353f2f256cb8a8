// The queue's name and the URIs come from users and the network: a control character in
// them would forge or split journal lines, so each is written escaped.
#include "queue_journal.h"

#include <cstdio>
#include <string>

std::string QueueJournal_Printable(std::string_view text) {
  std::string out;
  out.reserve(text.size());
  for (const unsigned char c : text) {
    if (c < 0x20 || c == 0x7f || c == '\\') {
      char escaped[5];
      snprintf(escaped, sizeof(escaped), "\\x%02x", c);
      out += escaped;
    } else {
      out += static_cast<char>(c);
    }
  }
  return out;
}

namespace {

void WriteLine(int level, const std::string &line) {
  fprintf(stderr, "%s%s\n", Journal_Prefix(level), line.c_str());
  fflush(stderr);
}

}  // namespace

void QueueJournal_Repointed(std::string_view queue_name, std::string_view backend_uri) {
  WriteLine(kJournalNotice, "zelcups-agent: queue " + QueueJournal_Printable(queue_name) +
                                " re-pointed to " + QueueJournal_Printable(backend_uri));
}

void QueueJournal_LeftAlone(std::string_view queue_name, std::string_view reason, int level) {
  WriteLine(level, "zelcups-agent: queue " + QueueJournal_Printable(queue_name) +
                       " left alone: " + QueueJournal_Printable(reason));
}

void QueueJournal_Note(std::string_view queue_name, std::string_view text, int level) {
  WriteLine(level, "zelcups-agent: queue " + QueueJournal_Printable(queue_name) + ": " +
                       QueueJournal_Printable(text));
}

void QueueJournal_Say(std::string_view text, int level) {
  WriteLine(level, "zelcups-agent: " + QueueJournal_Printable(text));
}
