#include "cf_object.h"

#include <cmath>
#include <cstring>
#include <limits>

namespace {

// Integers are held exactly (a 128-bit value holds every 64-bit signed and unsigned
// input); floating-point values as double.
struct NumberObject : compat::CFObject {
  NumberObject(CFNumberType canonical_type, __int128 integer)
      : CFObject(compat::kTypeIDNumber), type(canonical_type), is_float(false), i(integer) {}
  NumberObject(CFNumberType canonical_type, double real)
      : CFObject(compat::kTypeIDNumber), type(canonical_type), is_float(true), d(real) {}

  bool Equals(const CFObject &other) const override {
    const auto &o = static_cast<const NumberObject &>(other);
    if (!is_float && !o.is_float) {
      return i == o.i;
    }
    return AsDouble() == o.AsDouble();
  }
  CFHashCode Hash() const override {
    return is_float ? static_cast<CFHashCode>(static_cast<long long>(d))
                    : static_cast<CFHashCode>(i);
  }
  double AsDouble() const { return is_float ? d : static_cast<double>(i); }

  const CFNumberType type;
  const bool is_float;
  union {
    __int128 i;
    double d;
  };
};

struct BooleanObject : compat::CFObject {
  explicit BooleanObject(bool v) : CFObject(compat::kTypeIDBoolean), value(v) { immortal = true; }
  const bool value;
};

const BooleanObject g_true(true);
const BooleanObject g_false(false);

// The type a number reports: the sized form of each C type.
CFNumberType Canonical(CFNumberType type) {
  switch (type) {
    case kCFNumberCharType:
      return kCFNumberSInt8Type;
    case kCFNumberShortType:
      return kCFNumberSInt16Type;
    case kCFNumberIntType:
      return kCFNumberSInt32Type;
    case kCFNumberLongType:
    case kCFNumberLongLongType:
    case kCFNumberCFIndexType:
    case kCFNumberNSIntegerType:
      return kCFNumberSInt64Type;
    case kCFNumberFloatType:
      return kCFNumberFloat32Type;
    case kCFNumberDoubleType:
    case kCFNumberCGFloatType:
      return kCFNumberFloat64Type;
    default:
      return type;
  }
}

template <typename T>
T Load(const void *p) {
  T value;
  std::memcpy(&value, p, sizeof value);
  return value;
}

template <typename T>
void Store(void *p, T value) {
  std::memcpy(p, &value, sizeof value);
}

// Stores v as the integer type T; true when it was in range.
template <typename T>
bool StoreInteger(void *out, __int128 v) {
  bool exact = v >= std::numeric_limits<T>::min() && v <= std::numeric_limits<T>::max();
  Store<T>(out, static_cast<T>(v));
  return exact;
}

// Stores d as the integer type T, dropping the fraction; true only when nothing was lost.
template <typename T>
bool StoreIntegerFromDouble(void *out, double d) {
  if (std::isnan(d)) {
    Store<T>(out, 0);
    return false;
  }
  double truncated = std::trunc(d);
  if (truncated < static_cast<double>(std::numeric_limits<T>::min())) {
    Store<T>(out, std::numeric_limits<T>::min());
    return false;
  }
  // max() + 1 is a power of two and exact as a double.
  if (truncated >= static_cast<double>(std::numeric_limits<T>::max()) + 1.0) {
    Store<T>(out, std::numeric_limits<T>::max());
    return false;
  }
  Store<T>(out, static_cast<T>(truncated));
  return truncated == d;
}

}  // namespace

const CFBooleanRef kCFBooleanTrue = reinterpret_cast<CFBooleanRef>(&g_true);
const CFBooleanRef kCFBooleanFalse = reinterpret_cast<CFBooleanRef>(&g_false);

CFTypeID CFBooleanGetTypeID(void) {
  return compat::kTypeIDBoolean;
}

Boolean CFBooleanGetValue(CFBooleanRef boolean) {
  const auto *object = compat::As<BooleanObject>(boolean, compat::kTypeIDBoolean);
  return object != nullptr && object->value;
}

CFTypeID CFNumberGetTypeID(void) {
  return compat::kTypeIDNumber;
}

CFNumberRef CFNumberCreate(CFAllocatorRef, CFNumberType theType, const void *valuePtr) {
  if (valuePtr == nullptr) {
    return nullptr;
  }
  CFNumberType type = Canonical(theType);
  const compat::CFObject *object = nullptr;
  switch (type) {
    case kCFNumberSInt8Type:
      object = compat::NewObject<NumberObject>(type, static_cast<__int128>(Load<int8_t>(valuePtr)));
      break;
    case kCFNumberSInt16Type:
      object =
          compat::NewObject<NumberObject>(type, static_cast<__int128>(Load<int16_t>(valuePtr)));
      break;
    case kCFNumberSInt32Type:
      object =
          compat::NewObject<NumberObject>(type, static_cast<__int128>(Load<int32_t>(valuePtr)));
      break;
    case kCFNumberSInt64Type:
      object =
          compat::NewObject<NumberObject>(type, static_cast<__int128>(Load<int64_t>(valuePtr)));
      break;
    case kCFNumberFloat32Type:
      object = compat::NewObject<NumberObject>(type, static_cast<double>(Load<float>(valuePtr)));
      break;
    case kCFNumberFloat64Type:
      object = compat::NewObject<NumberObject>(type, Load<double>(valuePtr));
      break;
    default:
      return nullptr;
  }
  return reinterpret_cast<CFNumberRef>(object);
}

CFNumberType CFNumberGetType(CFNumberRef number) {
  const auto *object = compat::As<NumberObject>(number, compat::kTypeIDNumber);
  return object == nullptr ? 0 : object->type;
}

Boolean CFNumberIsFloatType(CFNumberRef number) {
  const auto *object = compat::As<NumberObject>(number, compat::kTypeIDNumber);
  return object != nullptr && object->is_float;
}

Boolean CFNumberGetValue(CFNumberRef number, CFNumberType theType, void *valuePtr) {
  const auto *object = compat::As<NumberObject>(number, compat::kTypeIDNumber);
  if (object == nullptr || valuePtr == nullptr) {
    return false;
  }
  CFNumberType type = Canonical(theType);
  if (type == kCFNumberFloat32Type || type == kCFNumberFloat64Type) {
    double d = object->AsDouble();
    bool exact = object->is_float || static_cast<__int128>(d) == object->i;
    if (type == kCFNumberFloat32Type) {
      float f = static_cast<float>(d);
      Store<float>(valuePtr, f);
      return exact && (static_cast<double>(f) == d || std::isnan(d));
    }
    Store<double>(valuePtr, d);
    return exact;
  }
  switch (type) {
    case kCFNumberSInt8Type:
      return object->is_float ? StoreIntegerFromDouble<int8_t>(valuePtr, object->d)
                              : StoreInteger<int8_t>(valuePtr, object->i);
    case kCFNumberSInt16Type:
      return object->is_float ? StoreIntegerFromDouble<int16_t>(valuePtr, object->d)
                              : StoreInteger<int16_t>(valuePtr, object->i);
    case kCFNumberSInt32Type:
      return object->is_float ? StoreIntegerFromDouble<int32_t>(valuePtr, object->d)
                              : StoreInteger<int32_t>(valuePtr, object->i);
    case kCFNumberSInt64Type:
      return object->is_float ? StoreIntegerFromDouble<int64_t>(valuePtr, object->d)
                              : StoreInteger<int64_t>(valuePtr, object->i);
    default:
      return false;
  }
}
