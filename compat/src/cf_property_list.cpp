// XML property lists through libplist: CF objects are turned into a plist tree and back.
#include "cf_object.h"
#include "zelcups/scoped.h"
#include "zelcups/holders.h"
#include "zelcups/plist_holders.h"

#include <plist/plist.h>

#include <memory>
#include <vector>

namespace {

plist_t ToPlist(CFTypeRef object);

struct DictionaryBuild {
  plist_t dict;
  bool ok;
};

void AddEntry(const void *key, const void *value, void *context) {
  auto *build = static_cast<DictionaryBuild *>(context);
  if (!build->ok) {
    return;
  }
  if (CFGetTypeID(key) != CFStringGetTypeID()) {
    build->ok = false;
    return;
  }
  plist_t node = ToPlist(value);
  if (node == nullptr) {
    build->ok = false;
    return;
  }
  plist_dict_set_item(build->dict, compat::UTF8Of(static_cast<CFStringRef>(key)).c_str(), node);
}

// New plist nodes, one per property-list type.
struct PlistMaker {
  plist_t operator()(CFStringRef string) const {
    return plist_new_string(compat::UTF8Of(string).c_str());
  }
  plist_t operator()(CFNumberRef number) const {
    if (CFNumberIsFloatType(number)) {
      double value = 0;
      CFNumberGetValue(number, kCFNumberFloat64Type, &value);
      return plist_new_real(value);
    }
    int64_t value = 0;
    CFNumberGetValue(number, kCFNumberSInt64Type, &value);
    return plist_new_uint(static_cast<uint64_t>(value));
  }
  plist_t operator()(CFBooleanRef boolean) const {
    return plist_new_bool(CFBooleanGetValue(boolean) ? 1 : 0);
  }
  plist_t operator()(CFDataRef data) const {
    return plist_new_data(reinterpret_cast<const char *>(CFDataGetBytePtr(data)),
                          static_cast<uint64_t>(CFDataGetLength(data)));
  }
  plist_t operator()(CFArrayRef array) const {
    zelcups::ScopedPlist list(plist_new_array());
    for (CFIndex i = 0; i < CFArrayGetCount(array); ++i) {
      plist_t item = ToPlist(CFArrayGetValueAtIndex(array, i));
      if (item == nullptr) {
        return nullptr;
      }
      plist_array_append_item(list.get(), item);
    }
    return list.release();
  }
  plist_t operator()(CFDictionaryRef dictionary) const {
    zelcups::ScopedPlist dict(plist_new_dict());
    DictionaryBuild build{dict.get(), true};
    CFDictionaryApplyFunction(dictionary, AddEntry, &build);
    return build.ok ? dict.release() : nullptr;
  }
};

// A new plist tree for object, or null when something in it has no plist form.
plist_t ToPlist(CFTypeRef object) {
  return compat::VisitPropertyListObject<plist_t>(object, PlistMaker{});
}

CFTypeRef FromPlist(plist_t node);

CFStringRef StringFromPlist(plist_t node) {
  char *text = nullptr;
  plist_get_string_val(node, &text);
  const zelcups::ScopedMalloc<char> owned(text);
  return CFStringCreateWithCString(nullptr, text, kCFStringEncodingUTF8);
}

CFNumberRef NumberFromPlist(plist_t node) {
  if (plist_get_node_type(node) == PLIST_REAL) {
    double value = 0;
    plist_get_real_val(node, &value);
    return CFNumberCreate(nullptr, kCFNumberFloat64Type, &value);
  }
  uint64_t value = 0;
  plist_get_uint_val(node, &value);
  int64_t signed_value = static_cast<int64_t>(value);
  return CFNumberCreate(nullptr, kCFNumberSInt64Type, &signed_value);
}

CFBooleanRef BooleanFromPlist(plist_t node) {
  uint8_t value = 0;
  plist_get_bool_val(node, &value);
  return value ? kCFBooleanTrue : kCFBooleanFalse;
}

CFDataRef DataFromPlist(plist_t node) {
  char *bytes = nullptr;
  uint64_t length = 0;
  plist_get_data_val(node, &bytes, &length);
  const zelcups::ScopedMalloc<char> owned(bytes);
  return CFDataCreate(nullptr, reinterpret_cast<const UInt8 *>(bytes),
                      static_cast<CFIndex>(length));
}

// Null when any item has no CF form.
CFArrayRef ArrayFromPlist(plist_t node) {
  std::vector<zelcups::ScopedCFTypeRef<CFTypeRef>> items;
  std::vector<CFTypeRef> values;
  for (uint32_t i = 0; i < plist_array_get_size(node); ++i) {
    items.emplace_back(FromPlist(plist_array_get_item(node, i)));
    if (!items.back()) {
      return nullptr;
    }
    values.push_back(items.back().get());
  }
  return CFArrayCreate(nullptr, values.data(), static_cast<CFIndex>(values.size()),
                       &kCFTypeArrayCallBacks);
}

// Null when any value has no CF form.
CFDictionaryRef DictionaryFromPlist(plist_t node) {
  zelcups::ScopedCFTypeRef<CFMutableDictionaryRef> dict(CFDictionaryCreateMutable(
      nullptr, 0, &kCFTypeDictionaryKeyCallBacks, &kCFTypeDictionaryValueCallBacks));
  plist_dict_iter iter = nullptr;
  plist_dict_new_iter(node, &iter);
  const zelcups::ScopedMalloc<void> owned_iter(iter);
  for (;;) {
    char *key = nullptr;
    plist_t value = nullptr;
    plist_dict_next_item(node, iter, &key, &value);
    if (key == nullptr) {
      return dict.release();
    }
    const zelcups::ScopedMalloc<char> owned_key(key);
    const zelcups::ScopedCFTypeRef<CFStringRef> key_object(
        CFStringCreateWithCString(nullptr, key, kCFStringEncodingUTF8));
    const zelcups::ScopedCFTypeRef<CFTypeRef> value_object(FromPlist(value));
    if (!key_object || !value_object) {
      return nullptr;
    }
    CFDictionarySetValue(dict.get(), key_object.get(), value_object.get());
  }
}

// A new CF object for the plist tree, or null.
CFTypeRef FromPlist(plist_t node) {
  switch (plist_get_node_type(node)) {
    case PLIST_STRING:
    case PLIST_KEY:
      return StringFromPlist(node);
    case PLIST_UINT:
    case PLIST_REAL:
      return NumberFromPlist(node);
    case PLIST_BOOLEAN:
      return BooleanFromPlist(node);
    case PLIST_DATA:
      return DataFromPlist(node);
    case PLIST_ARRAY:
      return ArrayFromPlist(node);
    case PLIST_DICT:
      return DictionaryFromPlist(node);
    default:
      return nullptr;
  }
}

}  // namespace

CFDataRef CFPropertyListCreateData(CFAllocatorRef, CFPropertyListRef propertyList,
                                   CFPropertyListFormat format, CFOptionFlags, CFErrorRef *error) {
  if (error != nullptr) {
    *error = nullptr;
  }
  if (format != kCFPropertyListXMLFormat_v1_0) {
    return nullptr;
  }
  zelcups::ScopedPlist root(ToPlist(propertyList));
  if (!root) {
    return nullptr;
  }
  char *text = nullptr;
  uint32_t length = 0;
  plist_to_xml(root.get(), &text, &length);
  zelcups::ScopedPlistText xml(text);
  if (!xml) {
    return nullptr;
  }
  return CFDataCreate(nullptr, reinterpret_cast<const UInt8 *>(xml.get()), length);
}

CFPropertyListRef CFPropertyListCreateWithData(CFAllocatorRef, CFDataRef data, CFOptionFlags,
                                               CFPropertyListFormat *format, CFErrorRef *error) {
  if (error != nullptr) {
    *error = nullptr;
  }
  CFIndex length = CFDataGetLength(data);
  if (data == nullptr || length <= 0 || length > UINT32_MAX) {
    return nullptr;
  }
  const char *bytes = reinterpret_cast<const char *>(CFDataGetBytePtr(data));
  bool binary = plist_is_binary(bytes, static_cast<uint32_t>(length));
  zelcups::ScopedPlist root = zelcups::PlistFromMemory(bytes, static_cast<uint32_t>(length));
  if (!root) {
    return nullptr;
  }
  if (format != nullptr) {
    *format = binary ? kCFPropertyListBinaryFormat_v1_0 : kCFPropertyListXMLFormat_v1_0;
  }
  return FromPlist(root.get());
}
