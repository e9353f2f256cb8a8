// The object model behind the CF handles: every CF object is a CFObject, reference
// counted, with a fixed type identifier. Private to compat.
#ifndef COMPAT_SRC_CF_OBJECT_H
#define COMPAT_SRC_CF_OBJECT_H

#include <CoreFoundation/CoreFoundation.h>

#include <atomic>
#include <memory>
#include <string>
#include <string_view>

namespace compat {

// Type identifiers; the numbers only need to be distinct and stable within a process.
enum : CFTypeID {
  kTypeIDAllocator = 2,
  kTypeIDString = 7,
  kTypeIDDictionary = 18,
  kTypeIDArray = 19,
  kTypeIDData = 20,
  kTypeIDBoolean = 21,
  kTypeIDNumber = 22,
  kTypeIDURL = 29,
  kTypeIDBundle = 31,
  kTypeIDNotificationCenter = 32,
  kTypeIDOpaque = 40,
};

struct CFObject {
  explicit CFObject(CFTypeID type) : type_id(type) {}
  CFObject(const CFObject &) = delete;
  CFObject &operator=(const CFObject &) = delete;
  virtual ~CFObject() = default;

  virtual bool Equals(const CFObject &other) const { return this == &other; }
  virtual CFHashCode Hash() const { return reinterpret_cast<CFHashCode>(this); }

  const CFTypeID type_id;
  std::atomic<long> retain_count{1};
  // Constant strings and the two booleans live for the whole process.
  bool immortal = false;
};

// Every handle type points at an object whose only base is CFObject, so the handle's
// address is the CFObject's address.
inline const CFObject *ObjectOf(CFTypeRef cf) {
  return static_cast<const CFObject *>(cf);
}
inline CFObject *MutableObjectOf(CFTypeRef cf) {
  return const_cast<CFObject *>(static_cast<const CFObject *>(cf));
}

// Typed access: null when cf is null or of another type.
template <typename T>
const T *As(CFTypeRef cf, CFTypeID type) {
  const CFObject *object = ObjectOf(cf);
  if (object == nullptr || object->type_id != type) {
    return nullptr;
  }
  return static_cast<const T *>(object);
}

// Objects are made by NewObject and destroyed when their last reference goes.
template <typename T, typename... Args>
T *NewObject(Args &&...args) {
  return std::make_unique<T>(std::forward<Args>(args)...).release();
}

// Encoding conversions through iconv; false when a byte or character does not convert.
bool DecodeToUTF8(std::string_view bytes, CFStringEncoding encoding, std::string *utf8);
bool EncodeFromUTF8(std::string_view utf8, CFStringEncoding encoding, std::string *bytes);
bool EncodingIsKnown(CFStringEncoding encoding);
// Bytes per character at most, for CFStringGetMaximumSizeForEncoding.
CFIndex MaxBytesPerUnit(CFStringEncoding encoding);

// A new string object from text already known to be valid UTF-8.
CFStringRef NewStringFromUTF8(std::string utf8);
// The string object's UTF-8 text.
const std::string &UTF8Of(CFStringRef string);
// The same for any object: the empty text for null and for objects that are no strings.
std::string TextOf(CFTypeRef object);

// The one dispatch over the property-list types, for every conversion of CF objects into
// another format: calls visit with the object cast to its handle type (CFStringRef,
// CFNumberRef, CFBooleanRef, CFDataRef, CFArrayRef or CFDictionaryRef); a value-initialised
// Result (null) for null and for any other type.
template <typename Result, typename Visitor>
Result VisitPropertyListObject(CFTypeRef object, const Visitor &visit) {
  const CFTypeID type = object != nullptr ? ObjectOf(object)->type_id : 0;
  switch (type) {
    case kTypeIDString:
      return visit(static_cast<CFStringRef>(object));
    case kTypeIDNumber:
      return visit(static_cast<CFNumberRef>(object));
    case kTypeIDBoolean:
      return visit(static_cast<CFBooleanRef>(object));
    case kTypeIDData:
      return visit(static_cast<CFDataRef>(object));
    case kTypeIDArray:
      return visit(static_cast<CFArrayRef>(object));
    case kTypeIDDictionary:
      return visit(static_cast<CFDictionaryRef>(object));
    default:
      return Result{};
  }
}

// Objects of a type that none of the agent's checks accepts (D-Bus values that map to no
// CF type become these).
CFTypeRef NewOpaqueObject();

}  // namespace compat

struct __CFAllocator : compat::CFObject {
  __CFAllocator() : CFObject(compat::kTypeIDAllocator) { immortal = true; }
};

struct __CFString : compat::CFObject {
  explicit __CFString(std::string text);
  bool Equals(const CFObject &other) const override;
  CFHashCode Hash() const override;

  const std::string utf8;
  const CFIndex utf16_length;
};

#endif
