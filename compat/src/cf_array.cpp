#include "cf_object.h"

#include <vector>

namespace {

struct ArrayObject : compat::CFObject {
  ArrayObject(const void **values, CFIndex count, bool retains)
      : CFObject(compat::kTypeIDArray), retains_values(retains) {
    items.reserve(static_cast<size_t>(count));
    for (CFIndex i = 0; i < count; ++i) {
      items.push_back(retains ? CFRetain(values[i]) : values[i]);
    }
  }
  ~ArrayObject() override {
    if (retains_values) {
      for (const void *item : items) {
        CFRelease(item);
      }
    }
  }
  bool Equals(const CFObject &other) const override {
    const auto &o = static_cast<const ArrayObject &>(other);
    if (items.size() != o.items.size()) {
      return false;
    }
    for (size_t i = 0; i < items.size(); ++i) {
      if (retains_values ? !CFEqual(items[i], o.items[i]) : items[i] != o.items[i]) {
        return false;
      }
    }
    return true;
  }
  CFHashCode Hash() const override { return items.size(); }

  const bool retains_values;
  std::vector<const void *> items;
};

}  // namespace

const CFArrayCallBacks kCFTypeArrayCallBacks = {0, nullptr, nullptr, nullptr, nullptr};

CFTypeID CFArrayGetTypeID(void) {
  return compat::kTypeIDArray;
}

CFArrayRef CFArrayCreate(CFAllocatorRef, const void **values, CFIndex numValues,
                         const CFArrayCallBacks *callBacks) {
  if (numValues < 0 || (values == nullptr && numValues > 0)) {
    return nullptr;
  }
  return reinterpret_cast<CFArrayRef>(
      compat::NewObject<ArrayObject>(values, numValues, callBacks != nullptr));
}

CFIndex CFArrayGetCount(CFArrayRef theArray) {
  const auto *array = compat::As<ArrayObject>(theArray, compat::kTypeIDArray);
  return array == nullptr ? 0 : static_cast<CFIndex>(array->items.size());
}

const void *CFArrayGetValueAtIndex(CFArrayRef theArray, CFIndex idx) {
  const auto *array = compat::As<ArrayObject>(theArray, compat::kTypeIDArray);
  if (array == nullptr || idx < 0 || static_cast<size_t>(idx) >= array->items.size()) {
    return nullptr;
  }
  return array->items[static_cast<size_t>(idx)];
}
