#include "cf_object.h"

#include <unordered_map>
#include <vector>

// Keys keep their insertion order (serialised records list their keys in the order they
// were added); a hash index keeps look-ups flat for large dictionaries from the bus.
struct __CFDictionary : compat::CFObject {
  __CFDictionary(bool keys_are_objects, bool values_are_objects)
      : CFObject(compat::kTypeIDDictionary),
        cf_keys(keys_are_objects),
        cf_values(values_are_objects) {}
  ~__CFDictionary() override {
    for (const Entry &entry : entries) {
      ReleaseEntry(entry);
    }
  }

  struct Entry {
    const void *key;
    const void *value;
  };

  CFHashCode HashKey(const void *key) const {
    return cf_keys ? CFHash(key) : reinterpret_cast<CFHashCode>(key);
  }
  bool KeysEqual(const void *a, const void *b) const { return cf_keys ? CFEqual(a, b) : a == b; }

  long Find(const void *key) const {
    auto range = index.equal_range(HashKey(key));
    for (auto it = range.first; it != range.second; ++it) {
      if (KeysEqual(entries[it->second].key, key)) {
        return static_cast<long>(it->second);
      }
    }
    return -1;
  }

  void Add(const void *key, const void *value) {
    index.emplace(HashKey(key), entries.size());
    entries.push_back({cf_keys ? CFRetain(key) : key, cf_values ? CFRetain(value) : value});
  }

  void Replace(size_t at, const void *value) {
    const void *old = entries[at].value;
    entries[at].value = cf_values ? CFRetain(value) : value;
    if (cf_values) {
      CFRelease(old);
    }
  }

  void Remove(size_t at) {
    ReleaseEntry(entries[at]);
    entries.erase(entries.begin() + static_cast<long>(at));
    index.clear();
    for (size_t i = 0; i < entries.size(); ++i) {
      index.emplace(HashKey(entries[i].key), i);
    }
  }

  void ReleaseEntry(const Entry &entry) const {
    if (cf_keys) {
      CFRelease(entry.key);
    }
    if (cf_values) {
      CFRelease(entry.value);
    }
  }

  bool Equals(const CFObject &other) const override {
    const auto &o = static_cast<const __CFDictionary &>(other);
    if (entries.size() != o.entries.size()) {
      return false;
    }
    for (const Entry &entry : entries) {
      long at = o.Find(entry.key);
      if (at < 0) {
        return false;
      }
      const void *theirs = o.entries[static_cast<size_t>(at)].value;
      if (cf_values ? !CFEqual(entry.value, theirs) : entry.value != theirs) {
        return false;
      }
    }
    return true;
  }
  CFHashCode Hash() const override { return entries.size(); }

  const bool cf_keys;
  const bool cf_values;
  std::vector<Entry> entries;
  std::unordered_multimap<CFHashCode, size_t> index;
};

namespace {

const __CFDictionary *AsDictionary(CFTypeRef cf) {
  return compat::As<__CFDictionary>(cf, compat::kTypeIDDictionary);
}

__CFDictionary *AsMutableDictionary(CFTypeRef cf) {
  return const_cast<__CFDictionary *>(AsDictionary(cf));
}

}  // namespace

const CFDictionaryKeyCallBacks kCFTypeDictionaryKeyCallBacks = {0,       nullptr, nullptr,
                                                                nullptr, nullptr, nullptr};
// String keys are immutable here, so copying them is retaining them.
const CFDictionaryKeyCallBacks kCFCopyStringDictionaryKeyCallBacks = {0,       nullptr, nullptr,
                                                                      nullptr, nullptr, nullptr};
const CFDictionaryValueCallBacks kCFTypeDictionaryValueCallBacks = {0, nullptr, nullptr, nullptr,
                                                                    nullptr};

CFTypeID CFDictionaryGetTypeID(void) {
  return compat::kTypeIDDictionary;
}

CFMutableDictionaryRef CFDictionaryCreateMutable(CFAllocatorRef, CFIndex,
                                                 const CFDictionaryKeyCallBacks *keyCallBacks,
                                                 const CFDictionaryValueCallBacks *valueCallBacks) {
  return compat::NewObject<__CFDictionary>(keyCallBacks != nullptr, valueCallBacks != nullptr);
}

CFDictionaryRef CFDictionaryCreate(CFAllocatorRef allocator, const void **keys, const void **values,
                                   CFIndex numValues, const CFDictionaryKeyCallBacks *keyCallBacks,
                                   const CFDictionaryValueCallBacks *valueCallBacks) {
  if (numValues < 0 || (numValues > 0 && (keys == nullptr || values == nullptr))) {
    return nullptr;
  }
  CFMutableDictionaryRef dictionary =
      CFDictionaryCreateMutable(allocator, numValues, keyCallBacks, valueCallBacks);
  for (CFIndex i = 0; i < numValues; ++i) {
    CFDictionarySetValue(dictionary, keys[i], values[i]);
  }
  return dictionary;
}

CFIndex CFDictionaryGetCount(CFDictionaryRef theDict) {
  const __CFDictionary *dictionary = AsDictionary(theDict);
  return dictionary == nullptr ? 0 : static_cast<CFIndex>(dictionary->entries.size());
}

const void *CFDictionaryGetValue(CFDictionaryRef theDict, const void *key) {
  const void *value = nullptr;
  CFDictionaryGetValueIfPresent(theDict, key, &value);
  return value;
}

Boolean CFDictionaryGetValueIfPresent(CFDictionaryRef theDict, const void *key,
                                      const void **value) {
  const __CFDictionary *dictionary = AsDictionary(theDict);
  if (dictionary == nullptr) {
    return false;
  }
  long at = dictionary->Find(key);
  if (at < 0) {
    return false;
  }
  if (value != nullptr) {
    *value = dictionary->entries[static_cast<size_t>(at)].value;
  }
  return true;
}

void CFDictionaryAddValue(CFMutableDictionaryRef theDict, const void *key, const void *value) {
  __CFDictionary *dictionary = AsMutableDictionary(theDict);
  if (dictionary != nullptr && dictionary->Find(key) < 0) {
    dictionary->Add(key, value);
  }
}

void CFDictionarySetValue(CFMutableDictionaryRef theDict, const void *key, const void *value) {
  __CFDictionary *dictionary = AsMutableDictionary(theDict);
  if (dictionary == nullptr) {
    return;
  }
  long at = dictionary->Find(key);
  if (at < 0) {
    dictionary->Add(key, value);
  } else {
    dictionary->Replace(static_cast<size_t>(at), value);
  }
}

void CFDictionaryRemoveValue(CFMutableDictionaryRef theDict, const void *key) {
  __CFDictionary *dictionary = AsMutableDictionary(theDict);
  if (dictionary == nullptr) {
    return;
  }
  long at = dictionary->Find(key);
  if (at >= 0) {
    dictionary->Remove(static_cast<size_t>(at));
  }
}

void CFDictionaryApplyFunction(CFDictionaryRef theDict, CFDictionaryApplierFunction applier,
                               void *context) {
  const __CFDictionary *dictionary = AsDictionary(theDict);
  if (dictionary == nullptr || applier == nullptr) {
    return;
  }
  for (const __CFDictionary::Entry &entry : dictionary->entries) {
    applier(entry.key, entry.value, context);
  }
}
