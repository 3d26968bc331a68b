// The records cross the DLL boundary of the 32-bit Windows build with the
// layouts that the client program was compiled against: checked here, where
// pointers are 4 bytes, so that a change of a field type or order cannot slip
// through.
#include <cstddef>

#include "kiv_svcquery.h"

static_assert(sizeof(void*) == 4, "this file belongs to the 32-bit Windows build only");

static_assert(sizeof(verification_info) == 36);
static_assert(offsetof(verification_info, err) == 0);
static_assert(offsetof(verification_info, haveTime) == 4);
static_assert(offsetof(verification_info, expired) == 8);
static_assert(offsetof(verification_info, usepay) == 12);
static_assert(offsetof(verification_info, ut) == 16);
static_assert(offsetof(verification_info, msg) == 20);
static_assert(offsetof(verification_info, bindUnvalide) == 24);
static_assert(offsetof(verification_info, ed) == 28);
static_assert(offsetof(verification_info, endBind) == 32);

static_assert(sizeof(ad_link_info) == 16);
static_assert(offsetof(ad_link_info, key) == 0);
static_assert(offsetof(ad_link_info, ref) == 4);
static_assert(offsetof(ad_link_info, url) == 8);
static_assert(offsetof(ad_link_info, ref1) == 12);

static_assert(sizeof(client_title_info) == 28);
static_assert(offsetof(client_title_info, id) == 0);
static_assert(offsetof(client_title_info, title) == 4);
static_assert(offsetof(client_title_info, url) == 8);
static_assert(offsetof(client_title_info, usertype) == 12);
static_assert(offsetof(client_title_info, msg) == 16);
static_assert(offsetof(client_title_info, isopen) == 20);
static_assert(offsetof(client_title_info, isbind) == 24);

static_assert(sizeof(vpn_connection_info) == 40);
static_assert(offsetof(vpn_connection_info, VPNIP) == 0);
static_assert(offsetof(vpn_connection_info, LocalOutIP) == 17);
static_assert(offsetof(vpn_connection_info, VPNPort) == 36);
