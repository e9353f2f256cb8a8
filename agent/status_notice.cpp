// Status notices: the driver posts "PMNotification" with a state and a message code or a
// message; state 1000 becomes a notice on screen.
#include "status_notice.h"

#include <cstring>

#include "CommonLib.h"

namespace {

constexpr SInt32 kShowMessageState = 1000;
constexpr CFIndex kPascalBufferSize = 256;
// A "Message" string gets one byte less than the buffer holds.
constexpr CFIndex kMessageConversionSize = 255;

CFStringRef NotificationName() {
  return CFSTR("PMNotification");
}
CFStringRef NoticeTitle() {
  return CFSTR("Arvex DORVIK Printer Driver");
}

SInt32 z_CFDictionaryGetSInt32(CFDictionaryRef dictionary, CFStringRef key, SInt32 *value) {
  CFTypeRef number = CFDictionaryGetValue(dictionary, key);
  if (number == nullptr || CFGetTypeID(number) != CFNumberGetTypeID()) {
    return paramErr;
  }
  if (!CFNumberGetValue(static_cast<CFNumberRef>(number), kCFNumberSInt32Type, value)) {
    return paramErr;
  }
  return noErr;
}

// The "Message" value as a Pascal string in work, and the encoding of its bytes; false
// when nothing can be shown.
bool ReadMessage(CFTypeRef message, unsigned char (&work)[kPascalBufferSize],
                 CFStringEncoding *encoding) {
  *encoding = CFStringGetSystemEncoding();
  if (CFGetTypeID(message) == CFStringGetTypeID()) {
    auto text = static_cast<CFStringRef>(message);
    // Text that does not fit is not shown rather than shown cut short.
    if (CFStringGetPascalString(text, work, kMessageConversionSize, *encoding)) {
      return true;
    }
    // MacRoman bytes read back in another encoding would show other characters, or
    // nothing: they are read back as MacRoman.
    *encoding = kCFStringEncodingMacRoman;
    return CFStringGetPascalString(text, work, kMessageConversionSize, *encoding);
  }
  if (CFGetTypeID(message) == CFDataGetTypeID()) {
    auto data = static_cast<CFDataRef>(message);
    CFIndex length = CFDataGetLength(data);
    CFIndex copied = length < kPascalBufferSize ? length : kPascalBufferSize - 1;
    CFDataGetBytes(data, CFRangeMake(0, copied), work);
    // The first byte is the length; when it claims more text than the data carried, only
    // the bytes that arrived are shown, never what the buffer held before.
    if (copied > 0 && work[0] > copied - 1) {
      work[0] = static_cast<unsigned char>(copied - 1);
    }
    return true;
  }
  return false;
}

void z_CFNotificationCallback(CFNotificationCenterRef, void *observer, CFNotificationName,
                              const void *, CFDictionaryRef userInfo) {
  if (observer == nullptr || userInfo == nullptr) {
    return;
  }
  SInt32 state = 0;
  if (z_CFDictionaryGetSInt32(userInfo, CFSTR("State"), &state) != noErr ||
      state != kShowMessageState) {
    return;
  }

  unsigned char message[kPascalBufferSize];
  CFStringEncoding encoding = CFStringGetSystemEncoding();
  SInt32 code = 0;
  if (z_CFDictionaryGetSInt32(userInfo, CFSTR("MessageCode"), &code) == noErr) {
    // A code without a text shows nothing; the "Message" is not a fallback for it.
    if (ZEL_Msg_GetPStringErrMsg(code, message, kPascalBufferSize, 0, 0) != noErr) {
      return;
    }
  } else {
    unsigned char work[kPascalBufferSize];
    message[0] = 0;
    work[0] = 0;
    CFTypeRef text = CFDictionaryGetValue(userInfo, CFSTR("Message"));
    if (text == nullptr || !ReadMessage(text, work, &encoding)) {
      return;
    }
    ZEL_Utl_PLstrcpy(message, work);
  }

  CFStringRef notice = CFStringCreateWithPascalString(CFAllocatorGetDefault(), message, encoding);
  if (notice == nullptr) {
    return;
  }
  CFUserNotificationDisplayNotice(0, kCFUserNotificationNoteAlertLevel, nullptr, nullptr, nullptr,
                                  NoticeTitle(), notice, nullptr);
  CFRelease(notice);
}

}  // namespace

int32_t Alert_InitializeNotify(AgentContext *context) {
  if (context == nullptr) {
    return -1;
  }
  CFNotificationCenterAddObserver(
      CFNotificationCenterGetDistributedCenter(), context, z_CFNotificationCallback,
      NotificationName(), context->notification_identifier, CFNotificationSuspensionBehaviorHold);
  return 0;
}

void Alert_TerminateNotify(AgentContext *context) {
  if (context == nullptr) {
    return;
  }
  CFNotificationCenterRemoveObserver(CFNotificationCenterGetDistributedCenter(), context,
                                     NotificationName(), context->notification_identifier);
}
