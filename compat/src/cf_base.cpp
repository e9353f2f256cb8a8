#include "cf_object.h"

#include <climits>

namespace {

__CFAllocator g_default_allocator;

struct OpaqueObject : compat::CFObject {
  OpaqueObject() : CFObject(compat::kTypeIDOpaque) {}
};

}  // namespace

CFTypeRef compat::NewOpaqueObject() {
  return NewObject<OpaqueObject>();
}

CFAllocatorRef CFAllocatorGetDefault(void) {
  return &g_default_allocator;
}

CFTypeRef CFRetain(CFTypeRef cf) {
  compat::CFObject *object = compat::MutableObjectOf(cf);
  if (object != nullptr && !object->immortal) {
    object->retain_count.fetch_add(1, std::memory_order_relaxed);
  }
  return cf;
}

// Unlike the original, a NULL argument is ignored rather than crashing the process.
void CFRelease(CFTypeRef cf) {
  compat::CFObject *object = compat::MutableObjectOf(cf);
  if (object == nullptr || object->immortal) {
    return;
  }
  if (object->retain_count.fetch_sub(1, std::memory_order_acq_rel) == 1) {
    std::unique_ptr<compat::CFObject> last_reference(object);
  }
}

CFIndex CFGetRetainCount(CFTypeRef cf) {
  const compat::CFObject *object = compat::ObjectOf(cf);
  if (object == nullptr) {
    return 0;
  }
  return object->immortal ? LONG_MAX : object->retain_count.load(std::memory_order_relaxed);
}

CFTypeID CFGetTypeID(CFTypeRef cf) {
  const compat::CFObject *object = compat::ObjectOf(cf);
  return object == nullptr ? 0 : object->type_id;
}

Boolean CFEqual(CFTypeRef cf1, CFTypeRef cf2) {
  const compat::CFObject *a = compat::ObjectOf(cf1);
  const compat::CFObject *b = compat::ObjectOf(cf2);
  if (a == b) {
    return true;
  }
  if (a == nullptr || b == nullptr || a->type_id != b->type_id) {
    return false;
  }
  return a->Equals(*b);
}

CFHashCode CFHash(CFTypeRef cf) {
  const compat::CFObject *object = compat::ObjectOf(cf);
  return object == nullptr ? 0 : object->Hash();
}
