#include "cf_object.h"

#include <algorithm>
#include <cstring>
#include <functional>
#include <vector>

namespace {

struct DataObject : compat::CFObject {
  DataObject(const UInt8 *bytes, size_t length)
      : CFObject(compat::kTypeIDData), data(bytes, bytes + length) {}
  bool Equals(const CFObject &other) const override {
    return data == static_cast<const DataObject &>(other).data;
  }
  CFHashCode Hash() const override {
    return std::hash<std::string_view>{}(
        std::string_view(reinterpret_cast<const char *>(data.data()), data.size()));
  }
  const std::vector<UInt8> data;
};

const DataObject *AsData(CFTypeRef cf) {
  return compat::As<DataObject>(cf, compat::kTypeIDData);
}

}  // namespace

CFTypeID CFDataGetTypeID(void) {
  return compat::kTypeIDData;
}

CFDataRef CFDataCreate(CFAllocatorRef, const UInt8 *bytes, CFIndex length) {
  if (length < 0 || (bytes == nullptr && length > 0)) {
    return nullptr;
  }
  static const UInt8 kEmpty = 0;
  return reinterpret_cast<CFDataRef>(
      compat::NewObject<DataObject>(length == 0 ? &kEmpty : bytes, static_cast<size_t>(length)));
}

CFIndex CFDataGetLength(CFDataRef theData) {
  const DataObject *data = AsData(theData);
  return data == nullptr ? 0 : static_cast<CFIndex>(data->data.size());
}

const UInt8 *CFDataGetBytePtr(CFDataRef theData) {
  const DataObject *data = AsData(theData);
  return data == nullptr ? nullptr : data->data.data();
}

// A range reaching outside the data copies nothing, where the original would abort.
void CFDataGetBytes(CFDataRef theData, CFRange range, UInt8 *buffer) {
  const DataObject *data = AsData(theData);
  if (data == nullptr || buffer == nullptr || range.location < 0 || range.length < 0 ||
      static_cast<size_t>(range.location) > data->data.size() ||
      static_cast<size_t>(range.length) > data->data.size() - static_cast<size_t>(range.location)) {
    return;
  }
  std::memcpy(buffer, data->data.data() + range.location, static_cast<size_t>(range.length));
}
