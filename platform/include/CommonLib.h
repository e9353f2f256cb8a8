/*
 * The maker's common library: the six functions the agent calls. The library ships
 * beside the driver; this project builds a stand-in with the same interface.
 */
#ifndef ZELCUPS_PLATFORM_COMMONLIB_H
#define ZELCUPS_PLATFORM_COMMONLIB_H

#include <stdint.h>

#include <CoreFoundation/CoreFoundation.h>

#ifdef __cplusplus
extern "C" {
#endif

#define ZEL_EXPORT __attribute__((visibility("default")))

/* The library's own result codes besides noErr and paramErr. */
enum {
  kZELProfileMissingErr = -43,     /* no profile file */
  kZELProfileUnreadableErr = -36,  /* the file could not be read */
  kZELProfileMalformedErr = -4960, /* not an XML or binary property list with a dictionary */
  kZELNoSuchEntryErr = -1728,      /* the profile has no string under the key */
  kZELNoMessageErr = -1,           /* the catalogue has no text for the code, or it does not fit */
};

/* An opaque handle on the product profile. */
typedef struct ZEL_OpaqueProfileTicket *ZEL_PMTicketRef;

/* noErr and a ticket on success; any other value on failure (a ticket may still be set,
   and then must be released). */
ZEL_EXPORT OSStatus ZEL_INF_GetProductProfile(ZEL_PMTicketRef *outTicket);
/* Looks up the string stored under inKey. The string stays valid for the life of the
   process and is never released by the caller; on failure *outString is left alone. */
ZEL_EXPORT OSStatus ZEL_Utl_PMTicketGetCFString(ZEL_PMTicketRef inTicket, UInt32 inNodeIndex,
                                                UInt32 inReserved, CFStringRef inKey,
                                                CFStringRef *outString);
ZEL_EXPORT void ZEL_Utl_PMTicketRelease(ZEL_PMTicketRef inTicket);

/* The catalogue's text for inCode as a Pascal string in the system encoding; noErr when
   outMessage holds it, non-zero when the code has no text or it does not fit. */
ZEL_EXPORT OSStatus ZEL_Msg_GetPStringErrMsg(SInt32 inCode, StringPtr outMessage,
                                             SInt32 inBufferSize, SInt32 inReserved1,
                                             SInt32 inReserved2);
ZEL_EXPORT StringPtr ZEL_Utl_PLstrcpy(StringPtr outDestination, ConstStr255Param inSource);
/* The path in the maker's encoding: every byte of its UTF-8 form outside the URI
   unreserved set percent-encoded, so the result has as many UTF-8 bytes as characters.
   NULL on failure; the caller releases the result. */
ZEL_EXPORT CFStringRef ZEL_Utl_CreateEncodedCFString(CFStringRef inPath);

#ifdef __cplusplus
}
#endif

#endif
