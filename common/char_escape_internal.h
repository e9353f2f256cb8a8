/*
 * The IPv6 escaping rule, shared inside the common module.
 */
#ifndef ZELCUPS_CHAR_ESCAPE_INTERNAL_H
#define ZELCUPS_CHAR_ESCAPE_INTERNAL_H

/* True for the colon and the percent sign, which may not stand bare in an address text. */
bool z_check_convert_charactor_for_ipv6_address(char charactor);

#endif
