/* Property-list serialisation in the standard XML format. */
#ifndef COMPAT_COREFOUNDATION_CFPROPERTYLIST_H
#define COMPAT_COREFOUNDATION_CFPROPERTYLIST_H

#include <CoreFoundation/CFBase.h>
#include <CoreFoundation/CFData.h>

CF_EXTERN_C_BEGIN

typedef struct __CFError *CFErrorRef;

typedef CFIndex CFPropertyListFormat;
enum {
  kCFPropertyListOpenStepFormat = 1,
  kCFPropertyListXMLFormat_v1_0 = 100,
  kCFPropertyListBinaryFormat_v1_0 = 200,
};

typedef CFOptionFlags CFPropertyListMutabilityOptions;
enum {
  kCFPropertyListImmutable = 0,
  kCFPropertyListMutableContainers = 1,
  kCFPropertyListMutableContainersAndLeaves = 2,
};

/* Only the XML format is written. Strings, numbers, booleans, data, arrays and
   dictionaries with string keys are property-list objects; anything else gives NULL. */
CF_EXPORT CFDataRef CFPropertyListCreateData(CFAllocatorRef allocator,
                                             CFPropertyListRef propertyList,
                                             CFPropertyListFormat format, CFOptionFlags options,
                                             CFErrorRef *error);
CF_EXPORT CFPropertyListRef CFPropertyListCreateWithData(CFAllocatorRef allocator, CFDataRef data,
                                                         CFOptionFlags options,
                                                         CFPropertyListFormat *format,
                                                         CFErrorRef *error);

CF_EXTERN_C_END

#endif
