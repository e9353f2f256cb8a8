/* URL objects: file locations (the bundle's resources, the alert's icon) and the
   percent-escape decoder. */
#ifndef COMPAT_COREFOUNDATION_CFURL_H
#define COMPAT_COREFOUNDATION_CFURL_H

#include <CoreFoundation/CFBase.h>
#include <CoreFoundation/CFString.h>

CF_EXTERN_C_BEGIN

typedef const struct __CFURL *CFURLRef;

CF_EXPORT CFTypeID CFURLGetTypeID(void);

/* A file URL for the bufLen bytes of an absolute or relative path (made absolute against
   the current folder). Null for an empty path or one holding a NUL byte. */
CF_EXPORT CFURLRef CFURLCreateFromFileSystemRepresentation(CFAllocatorRef allocator,
                                                           const UInt8 *buffer, CFIndex bufLen,
                                                           Boolean isDirectory);

/* Writes the URL's path, NUL-terminated, into buffer; false when it does not fit. */
CF_EXPORT Boolean CFURLGetFileSystemRepresentation(CFURLRef url, Boolean resolveAgainstBase,
                                                   UInt8 *buffer, CFIndex maxBufLen);

/* Replaces each percent escape ("%" and two hexadecimal digits) by the text that the bytes
   of a run of escapes decode to in encoding. An escape whose character is in
   charactersToLeaveEscaped stays as it is: "" replaces all, NULL replaces none. Null when
   an escape is malformed or its bytes are no valid text in the encoding. */
CF_EXPORT CFStringRef CFURLCreateStringByReplacingPercentEscapesUsingEncoding(
    CFAllocatorRef allocator, CFStringRef origString, CFStringRef charactersToLeaveEscaped,
    CFStringEncoding encoding);

CF_EXTERN_C_END

#endif
