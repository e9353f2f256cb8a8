// URL objects, private to compat: the bundle makes them, the alert reads them.
#ifndef COMPAT_SRC_CF_URL_H
#define COMPAT_SRC_CF_URL_H

#include <string>

#include "cf_object.h"

struct __CFURL : compat::CFObject {
  explicit __CFURL(std::string file_path) : CFObject(compat::kTypeIDURL), path(file_path) {}
  bool Equals(const CFObject &other) const override {
    return path == static_cast<const __CFURL &>(other).path;
  }
  CFHashCode Hash() const override { return std::hash<std::string>{}(path); }

  // Absolute file path.
  const std::string path;
};

namespace compat {

CFURLRef NewFileURL(std::string absolute_path);
// The file path of a URL object; empty for null and for other objects.
std::string FilePathOf(CFURLRef url);

}  // namespace compat

#endif
