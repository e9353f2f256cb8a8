/*
 * The bridge's loader, which is visible outside the module under these names like the
 * rest of the bridge, and the path builder, exposed for the unit test.
 */
#ifndef ZELCUPS_INFO_BRIDGE_INTERNAL_H
#define ZELCUPS_INFO_BRIDGE_INTERNAL_H

#include "Info.h"

#ifdef __cplusplus
#include <optional>
#include <string>
#include <string_view>
#endif

#ifdef __cplusplus
extern "C" {
#endif

/* The loaded plug-in: its dlopen handle and its sixteen entry points. Opaque. */
typedef struct InfoLibrary InfoLibrary;

/* Opens the plug-in at path with RTLD_NOW and resolves all sixteen entry points; NULL
   when path is NULL, the file cannot be opened, or any entry point is missing (the
   library is then closed again). */
InfoLibrary *zLoadInfoLibrary(const char *path);
/* Closes the library and frees the record. NULL: no-op. */
void zFreeInfoLibrary(InfoLibrary *library);

#ifdef __cplusplus
}

/* "<base_directory>/Libs/libinfo.dylib", or nothing when that does not fit the 1024-byte
   path buffer with its terminator. */
std::optional<std::string> InfoBridge_LibraryPath(std::string_view base_directory);
#endif

#endif
