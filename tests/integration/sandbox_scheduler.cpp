#include "sandbox_scheduler.h"

#include <dirent.h>
#include <signal.h>

#include <cups/cups.h>

#include "zelcups/cups_holders.h"

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <memory>
#include <string_view>
#include <thread>

namespace {

struct DirClose {
  void operator()(DIR *dir) const { closedir(dir); }
};

// The process's state letter from /proc/PID/stat, or 0 when it is gone.
char ProcessState(pid_t pid) {
  std::ifstream stat("/proc/" + std::to_string(pid) + "/stat");
  std::string text;
  if (!std::getline(stat, text)) {
    return 0;
  }
  const std::size_t end_of_name = text.rfind(')');
  return end_of_name != std::string::npos && end_of_name + 2 < text.size() ? text[end_of_name + 2]
                                                                           : 0;
}

// The sandbox has a process namespace of its own, so the one cupsd seen is its own.
pid_t FindScheduler() {
  std::unique_ptr<DIR, DirClose> proc(opendir("/proc"));
  if (!proc) {
    return 0;
  }
  while (dirent *entry = readdir(proc.get())) {
    const pid_t pid = std::atoi(entry->d_name);
    if (pid <= 0) {
      continue;
    }
    std::ifstream comm("/proc/" + std::string(entry->d_name) + "/comm");
    std::string name;
    if (std::getline(comm, name) && name == "cupsd" && ProcessState(pid) != 'Z') {
      return pid;
    }
  }
  return 0;
}

}  // namespace

bool InSandbox() {
  const char *flag = std::getenv("ZELCUPS_SANDBOX");
  return flag != nullptr && std::string_view(flag) == "1";
}

bool AddQueues(const std::vector<SandboxQueue> &queues, std::string &error) {
  zelcups::ScopedHTTP http(httpConnect2(cupsServer(), ippPort(), nullptr, AF_UNSPEC,
                                        cupsEncryption(), 1, 30000, nullptr));
  if (!http) {
    error = "cannot reach the scheduler at " + std::string(cupsServer());
    return false;
  }
  for (const SandboxQueue &queue : queues) {
    char printer_uri[1024];
    httpAssembleURIf(HTTP_URI_CODING_ALL, printer_uri, sizeof printer_uri, "ipp", nullptr,
                     "localhost", 0, "/printers/%s", queue.name.c_str());
    ipp_t *request = ippNewRequest(IPP_OP_CUPS_ADD_MODIFY_PRINTER);
    ippAddString(request, IPP_TAG_OPERATION, IPP_TAG_URI, "printer-uri", nullptr, printer_uri);
    ippAddString(request, IPP_TAG_OPERATION, IPP_TAG_NAME, "requesting-user-name", nullptr,
                 cupsUser());
    ippAddString(request, IPP_TAG_PRINTER, IPP_TAG_URI, "device-uri", nullptr,
                 queue.device_uri.c_str());
    zelcups::ScopedIPP response(cupsDoRequest(http.get(), request, "/admin/"));
    if (!response || cupsLastError() > IPP_STATUS_OK_CONFLICTING) {
      error = "adding " + queue.name + ": " + cupsLastErrorString();
      return false;
    }
  }
  return true;
}

std::vector<SandboxQueue> NumberedQueues(int count) {
  std::vector<SandboxQueue> queues;
  for (int i = 0; i < count; ++i) {
    char name[32];
    char uri[64];
    std::snprintf(name, sizeof name, "Queue-%04d", i);
    std::snprintf(uri, sizeof uri, "socket://10.2.%d.%d:9100", i / 250, i % 250);
    queues.push_back({name, uri});
  }
  return queues;
}

bool StopScheduler(std::string &error) {
  const pid_t pid = FindScheduler();
  if (pid == 0) {
    error = "no cupsd runs";
    return false;
  }
  if (kill(pid, SIGTERM) != 0) {
    error = "cannot signal cupsd";
    return false;
  }
  // It stays a zombie until the sandbox reaps it; either way it no longer answers.
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
  while (std::chrono::steady_clock::now() < deadline) {
    const char state = ProcessState(pid);
    if (state == 0 || state == 'Z') {
      return true;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  error = "cupsd did not end within 10 seconds";
  return false;
}
