/* The agent's application bundle: its resource folder and its localized strings. */
#ifndef COMPAT_COREFOUNDATION_CFBUNDLE_H
#define COMPAT_COREFOUNDATION_CFBUNDLE_H

#include <CoreFoundation/CFBase.h>
#include <CoreFoundation/CFString.h>
#include <CoreFoundation/CFURL.h>

CF_EXTERN_C_BEGIN

typedef struct __CFBundle *CFBundleRef;

CF_EXPORT CFTypeID CFBundleGetTypeID(void);

/* The running program's bundle: the resource folder share/zelcups-agent beside the folder
   that holds the executable (/usr/bin/zelcups-agent has /usr/share/zelcups-agent), with
   its translations in share/locale. Not to be released. */
CF_EXPORT CFBundleRef CFBundleGetMainBundle(void);

/* The location of the resource resourceName.resourceType in the resource folder (or in its
   subfolder subDirName); null when there is no such file. A macOS icon ("icns") is found
   as its SVG drawing of the same name. */
CF_EXPORT CFURLRef CFBundleCopyResourceURL(CFBundleRef bundle, CFStringRef resourceName,
                                           CFStringRef resourceType, CFStringRef subDirName);

/* The translation of key from the default table (tableName NULL or "Localizable") in the
   first of the user's languages that has one, else in English. Without one, value, or key
   when value is NULL or empty; with a NULL key, value or the empty text. */
CF_EXPORT CFStringRef CFBundleCopyLocalizedString(CFBundleRef bundle, CFStringRef key,
                                                  CFStringRef value, CFStringRef tableName);

CF_EXTERN_C_END

#endif
