// The info plug-in bridge: one dlopen handle per instance, sixteen resolved entry points,
// and forwarding functions that refuse with a fixed value instead of calling through a
// null pointer.

#include "info_bridge_internal.h"

#include <dlfcn.h>

#include "zelcups/holders.h"

#include <algorithm>
#include <array>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <new>
#include <optional>
#include <string>
#include <string_view>
#include <tuple>
#include <type_traits>

namespace {

// The plug-in's entry points. Its 1-byte booleans are read as bytes: any non-zero byte
// is true, so a plug-in that answers with a byte other than 1 cannot hand us an invalid
// bool.
using InitializeProc = void *(*)(const char *, const char *, const char *, bool,
                                 const InfoStringPair *);
using TerminateProc = void (*)(void *);
using CreateUpdatedOptionsProc = int32_t (*)(void *, bool, const char *, void **);
using DestroyUpdatedOptionsProc = void (*)(void *, void *);
using UpdateOptionsProc = int32_t (*)(void *, void *);
using PredicateProc = uint8_t (*)(void *);
using GetPrinterXMLProc = int32_t (*)(void *, bool, int32_t, int32_t, int32_t);
using CheckManagementProc = uint8_t (*)(void *, void *, void *, int32_t);
using GetDigregDataProc = int32_t (*)(void *, void *);
using GetCalib3InfoProc = int32_t (*)(void *, int32_t, void *);
using CheckProc = int32_t (*)(void *);
using GetJobAccountProc = int32_t (*)(void *, int32_t, int32_t);
using SaveJobAccountProc = int32_t (*)(void *, int32_t, bool, int32_t, int32_t, bool);

constexpr std::string_view kInfoLibraryName = "libinfo.dylib";
constexpr std::size_t kPathBufferSize = 1024;

using CString = zelcups::ScopedMalloc<char>;

// Zero-filled heap record, or null when memory runs out: the C interface cannot throw.
template <typename T>
std::unique_ptr<T> Allocate() noexcept {
  try {
    return std::make_unique<T>();
  } catch (const std::bad_alloc &) {
    return nullptr;
  }
}

}  // namespace

struct InfoLibrary {
  zelcups::ScopedDlopen handle;
  InitializeProc Info_Initialize = nullptr;
  TerminateProc Info_Terminate = nullptr;
  CreateUpdatedOptionsProc Info_CreateUpdatedOptions = nullptr;
  DestroyUpdatedOptionsProc Info_DestroyUpdatedOptions = nullptr;
  UpdateOptionsProc Info_UpdateOptions = nullptr;
  PredicateProc Info_CheckDuplex = nullptr;
  PredicateProc Info_CheckEnableBidiMode = nullptr;
  GetPrinterXMLProc Info_Duplex_GetPrinterXML_ByCtrlID = nullptr;
  PredicateProc Info_Duplex_EnableManagement = nullptr;
  CheckManagementProc Info_Duplex_CheckManagement = nullptr;
  GetDigregDataProc Info_Duplex_GetDigregData = nullptr;
  GetCalib3InfoProc Info_SimplexDuplex_GetCalib3Info = nullptr;
  CheckProc Info_CheckSandbox = nullptr;
  CheckProc Info_CheckCacheFile = nullptr;
  GetJobAccountProc Info_GetJobAccountSettings = nullptr;
  SaveJobAccountProc Info_SaveJobAccountSettings = nullptr;
};

namespace {

// One entry point: the name the plug-in exports and the field that holds it.
template <typename Proc>
struct InfoEntry {
  const char *name;
  Proc InfoLibrary::*field;
};

// The sixteen entry points in their documented order. Looking them up and binding them
// both walk this one table.
constexpr auto kInfoEntries = std::make_tuple(
    InfoEntry<InitializeProc>{"Info_Initialize", &InfoLibrary::Info_Initialize},
    InfoEntry<TerminateProc>{"Info_Terminate", &InfoLibrary::Info_Terminate},
    InfoEntry<CreateUpdatedOptionsProc>{"Info_CreateUpdatedOptions",
                                        &InfoLibrary::Info_CreateUpdatedOptions},
    InfoEntry<DestroyUpdatedOptionsProc>{"Info_DestroyUpdatedOptions",
                                         &InfoLibrary::Info_DestroyUpdatedOptions},
    InfoEntry<UpdateOptionsProc>{"Info_UpdateOptions", &InfoLibrary::Info_UpdateOptions},
    InfoEntry<PredicateProc>{"Info_CheckDuplex", &InfoLibrary::Info_CheckDuplex},
    InfoEntry<PredicateProc>{"Info_CheckEnableBidiMode", &InfoLibrary::Info_CheckEnableBidiMode},
    InfoEntry<GetPrinterXMLProc>{"Info_Duplex_GetPrinterXML_ByCtrlID",
                                 &InfoLibrary::Info_Duplex_GetPrinterXML_ByCtrlID},
    InfoEntry<PredicateProc>{"Info_Duplex_EnableManagement",
                             &InfoLibrary::Info_Duplex_EnableManagement},
    InfoEntry<CheckManagementProc>{"Info_Duplex_CheckManagement",
                                   &InfoLibrary::Info_Duplex_CheckManagement},
    InfoEntry<GetDigregDataProc>{"Info_Duplex_GetDigregData",
                                 &InfoLibrary::Info_Duplex_GetDigregData},
    InfoEntry<GetCalib3InfoProc>{"Info_SimplexDuplex_GetCalib3Info",
                                 &InfoLibrary::Info_SimplexDuplex_GetCalib3Info},
    InfoEntry<CheckProc>{"Info_CheckSandbox", &InfoLibrary::Info_CheckSandbox},
    InfoEntry<CheckProc>{"Info_CheckCacheFile", &InfoLibrary::Info_CheckCacheFile},
    InfoEntry<GetJobAccountProc>{"Info_GetJobAccountSettings",
                                 &InfoLibrary::Info_GetJobAccountSettings},
    InfoEntry<SaveJobAccountProc>{"Info_SaveJobAccountSettings",
                                  &InfoLibrary::Info_SaveJobAccountSettings});

constexpr std::size_t kInfoEntryCount = std::tuple_size_v<decltype(kInfoEntries)>;
static_assert(kInfoEntryCount == 16);

// Every entry point's symbol, in table order; a missing one is null.
std::array<void *, kInfoEntryCount> LookUpEntries(void *handle) noexcept {
  std::array<void *, kInfoEntryCount> symbols{};
  std::apply(
      [&](const auto &...entry) {
        std::size_t i = 0;
        ((symbols[i++] = dlsym(handle, entry.name)), ...);
      },
      kInfoEntries);
  return symbols;
}

void BindEntries(InfoLibrary &library,
                 const std::array<void *, kInfoEntryCount> &symbols) noexcept {
  std::apply(
      [&](const auto &...entry) {
        std::size_t i = 0;
        ((library.*entry.field =
              reinterpret_cast<std::remove_reference_t<decltype(library.*entry.field)>>(
                  symbols[i++])),
         ...);
      },
      kInfoEntries);
}

struct LibraryDeleter {
  void operator()(InfoLibrary *library) const noexcept { zFreeInfoLibrary(library); }
};
using LibraryHolder = std::unique_ptr<InfoLibrary, LibraryDeleter>;

// The plug-in's copy of the caller's pair; its strings are ours and die with it.
struct PairCopy {
  InfoStringPair pair{};
  CString first;
  CString second;
};

// Duplicates source into holder and points field at it; false only when memory runs out.
bool CopyPairString(const char *source, CString &holder, const char *&field) noexcept {
  if (source == nullptr) {
    return true;
  }
  holder.reset(strdup(source));
  field = holder.get();
  return holder != nullptr;
}

}  // namespace

struct InfoInstance {
  LibraryHolder library;
  void *context = nullptr;
};

std::optional<std::string> InfoBridge_LibraryPath(std::string_view base_directory) {
  std::string path;
  path.reserve(base_directory.size() + 6 + kInfoLibraryName.size());
  path.append(base_directory).append("/Libs/").append(kInfoLibraryName);
  // A cut path could name some other file; refuse instead.
  if (path.size() >= kPathBufferSize) {
    return std::nullopt;
  }
  return path;
}

extern "C" {

InfoLibrary *zLoadInfoLibrary(const char *path) {
  if (path == nullptr) {
    return nullptr;
  }
  std::unique_ptr<InfoLibrary> library = Allocate<InfoLibrary>();
  if (!library) {
    return nullptr;
  }
  library->handle.reset(dlopen(path, RTLD_NOW));
  if (!library->handle) {
    return nullptr;
  }

  // All sixteen are looked up before any is tested: a plug-in is taken whole or not at
  // all.
  const std::array<void *, kInfoEntryCount> symbols = LookUpEntries(library->handle.get());
  if (std::ranges::any_of(symbols, [](void *symbol) { return symbol == nullptr; })) {
    return nullptr;
  }
  BindEntries(*library, symbols);
  return library.release();
}

void zFreeInfoLibrary(InfoLibrary *library) {
  // Taking ownership closes the handle (if any) and frees the record.
  std::unique_ptr<InfoLibrary> owned(library);
}

InfoInstance *Info_Initialize(const char *base_directory, const char *queue_name, const char *extra,
                              bool flag, const InfoStringPair *pair) {
  if (base_directory == nullptr || queue_name == nullptr || extra == nullptr) {
    return nullptr;
  }
  std::unique_ptr<InfoInstance> instance = Allocate<InfoInstance>();
  if (!instance) {
    return nullptr;
  }

  // The copy and its strings live only during the plug-in's call, whatever it answers.
  std::unique_ptr<PairCopy> pair_copy;
  if (pair != nullptr) {
    pair_copy = Allocate<PairCopy>();
    if (!pair_copy) {
      return nullptr;
    }
    if (!CopyPairString(pair->first, pair_copy->first, pair_copy->pair.first) ||
        !CopyPairString(pair->second, pair_copy->second, pair_copy->pair.second)) {
      return nullptr;
    }
  }

  std::optional<std::string> path;
  try {
    path = InfoBridge_LibraryPath(base_directory);
  } catch (const std::bad_alloc &) {
    return nullptr;
  }
  if (!path) {
    return nullptr;
  }

  instance->library.reset(zLoadInfoLibrary(path->c_str()));
  if (!instance->library) {
    return nullptr;
  }
  instance->context = instance->library->Info_Initialize(base_directory, queue_name, extra, flag,
                                                         pair_copy ? &pair_copy->pair : nullptr);
  pair_copy.reset();
  if (instance->context == nullptr) {
    // The plug-in is told to end even without a context, so that it can undo whatever
    // its failed start left behind, and is then unloaded.
    Info_Terminate(instance.release());
    return nullptr;
  }
  return instance.release();
}

void Info_Terminate(InfoInstance *instance) {
  std::unique_ptr<InfoInstance> owned(instance);
  if (!owned) {
    return;
  }
  if (owned->library) {
    owned->library->Info_Terminate(owned->context);
    owned->context = nullptr;
    owned->library.reset();
  }
}

int32_t Info_CreateUpdatedOptions(InfoInstance *instance, bool flag, const char *text,
                                  void **options) {
  if (instance == nullptr || text == nullptr || options == nullptr || !instance->library ||
      instance->library->Info_CreateUpdatedOptions == nullptr) {
    return -1;
  }
  return instance->library->Info_CreateUpdatedOptions(instance->context, flag, text, options);
}

void Info_DestroyUpdatedOptions(InfoInstance *instance, void *options) {
  if (instance == nullptr || options == nullptr || !instance->library ||
      instance->library->Info_DestroyUpdatedOptions == nullptr) {
    return;
  }
  instance->library->Info_DestroyUpdatedOptions(instance->context, options);
}

int32_t Info_UpdateOptions(InfoInstance *instance, void *options) {
  if (instance == nullptr || options == nullptr || !instance->library ||
      instance->library->Info_UpdateOptions == nullptr) {
    return -1;
  }
  return instance->library->Info_UpdateOptions(instance->context, options);
}

bool Info_CheckDuplex(InfoInstance *instance) {
  if (instance == nullptr || !instance->library || instance->library->Info_CheckDuplex == nullptr) {
    return false;
  }
  return instance->library->Info_CheckDuplex(instance->context) != 0;
}

bool Info_CheckEnableBidiMode(InfoInstance *instance) {
  if (instance == nullptr || !instance->library ||
      instance->library->Info_CheckEnableBidiMode == nullptr) {
    return true;
  }
  return instance->library->Info_CheckEnableBidiMode(instance->context) != 0;
}

int32_t Info_Duplex_GetPrinterXML_ByCtrlID(InfoInstance *instance, bool flag, int32_t value1,
                                           int32_t value2, int32_t value3) {
  if (instance == nullptr || !instance->library ||
      instance->library->Info_Duplex_GetPrinterXML_ByCtrlID == nullptr) {
    return -1;
  }
  return instance->library->Info_Duplex_GetPrinterXML_ByCtrlID(instance->context, flag, value1,
                                                               value2, value3);
}

bool Info_Duplex_EnableManagement(InfoInstance *instance) {
  if (instance == nullptr || !instance->library ||
      instance->library->Info_Duplex_EnableManagement == nullptr) {
    return false;
  }
  return instance->library->Info_Duplex_EnableManagement(instance->context) != 0;
}

bool Info_Duplex_CheckManagement(InfoInstance *instance, void *data1, void *data2, int32_t value) {
  if (instance == nullptr || data1 == nullptr || data2 == nullptr || !instance->library ||
      instance->library->Info_Duplex_CheckManagement == nullptr) {
    return false;
  }
  return instance->library->Info_Duplex_CheckManagement(instance->context, data1, data2, value) !=
         0;
}

int32_t Info_Duplex_GetDigregData(InfoInstance *instance, void *data) {
  if (instance == nullptr || data == nullptr || !instance->library ||
      instance->library->Info_Duplex_GetDigregData == nullptr) {
    return -1;
  }
  return instance->library->Info_Duplex_GetDigregData(instance->context, data);
}

int32_t Info_SimplexDuplex_GetCalib3Info(InfoInstance *instance, int32_t value, void *data) {
  if (instance == nullptr || data == nullptr || !instance->library ||
      instance->library->Info_SimplexDuplex_GetCalib3Info == nullptr) {
    return -1;
  }
  return instance->library->Info_SimplexDuplex_GetCalib3Info(instance->context, value, data);
}

int32_t Info_CheckSandbox(InfoInstance *instance) {
  if (instance == nullptr || !instance->library ||
      instance->library->Info_CheckSandbox == nullptr) {
    return -1;
  }
  return instance->library->Info_CheckSandbox(instance->context);
}

int32_t Info_CheckCacheFile(InfoInstance *instance) {
  if (instance == nullptr || !instance->library ||
      instance->library->Info_CheckCacheFile == nullptr) {
    return -1;
  }
  return instance->library->Info_CheckCacheFile(instance->context);
}

int32_t Info_GetJobAccountSettings(InfoInstance *instance, int32_t value1, int32_t value2) {
  if (instance == nullptr || !instance->library ||
      instance->library->Info_GetJobAccountSettings == nullptr) {
    return -1;
  }
  return instance->library->Info_GetJobAccountSettings(instance->context, value1, value2);
}

int32_t Info_SaveJobAccountSettings(InfoInstance *instance, int32_t value1, bool flag1,
                                    int32_t value2, int32_t value3, bool flag2) {
  if (instance == nullptr || !instance->library ||
      instance->library->Info_SaveJobAccountSettings == nullptr) {
    return -1;
  }
  return instance->library->Info_SaveJobAccountSettings(instance->context, value1, flag1, value2,
                                                        value3, flag2);
}

}  // extern "C"
