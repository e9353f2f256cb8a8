// Network connection-type resolution for the "lpd://", "socket://" and "ipp://" queues.
#ifndef ZELCUPS_AGENT_CONNECTION_TYPE_H
#define ZELCUPS_AGENT_CONNECTION_TYPE_H

#include <cstdint>

// Decides between "ZEL_QRX5_LPR" and "ZEL_QRX5_LPRv6" for the device URI behind prefix
// and hands out a malloc()ed copy of it through connection_type. A "v1." host name that
// resolves to an IPv6 address is put into brackets in place, which lengthens device_uri by
// exactly 2 bytes: the caller's buffer needs that room beyond the terminator.
// 0 on success; -1 for a null device_uri, prefix or connection_type, or when the type
// cannot be converted; kConnectionTypeAbandoned when the name lookup was given up (a quit
// request, or no answer within its time limit): whether the name has an IPv6 address is
// then not known, and no type is right. connection_type is not written on failure, nor
// device_uri when the lookup was abandoned.
inline constexpr int32_t kConnectionTypeAbandoned = -2;
int32_t z_FixConnectionTypeForLPD(char *device_uri, const char *prefix, char **connection_type);

#endif
