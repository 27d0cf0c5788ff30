#pragma once

// The SM object registry: the ten Chinese national object identifiers under
// the fixed internal identifiers 920..929 that the rest of the service passes
// around. OpenSSL numbers these objects differently (its own SM2 and SM3
// objects, and whatever OBJ_create hands out for the rest), and its own
// numbers 920..929 are unrelated curves, so always go through this registry.

#include <openssl/asn1.h>

// Internal identifiers, in registry order.
enum : int {
    SM_ID_SM2 = 920,               // 1.2.156.10197.1.301   SM2 curve
    SM_ID_SM3 = 921,               // 1.2.156.10197.1.401   SM3 digest
    SM_ID_SM4 = 922,               // 1.2.156.10197.1.104   SM4 cipher
    SM_ID_P7_DATA = 923,           // 1.2.156.10197.6.1.4.2.1
    SM_ID_P7_SIGNED = 924,         // 1.2.156.10197.6.1.4.2.2
    SM_ID_P7_ENVDATA = 925,        // 1.2.156.10197.6.1.4.2.3
    SM_ID_P7_SIGNENVDATA = 926,    // 1.2.156.10197.6.1.4.2.4
    SM_ID_P7_DIGEST = 927,         // 1.2.156.10197.6.1.4.2.5
    SM_ID_P7_ENCRYPTED = 928,      // 1.2.156.10197.6.1.4.2.6
    SM_ID_SM2_1 = 929,             // 1.2.156.10197.1.301.1 SM2 signature
};

// Registers all ten objects once per process; later calls return at once.
void initsm2internalnid();

// The library object for `id`: 920..929 through the registry (created on
// demand), any other number as OpenSSL knows it; nullptr when unknown.
// The object belongs to OpenSSL's table; do not free it.
ASN1_OBJECT* SM2_OBJ_nid2obj(int id);

// OpenSSL's number for internal identifier `id` (920..929), registering the
// object if needed; NID_undef (0) for any other `id` or on failure.
int SM2_OBJ_nid2libnid(int id);

// The internal identifier (920..929) whose object OpenSSL knows as `nid`;
// -1 when `nid` is none of the ten.
int translateinternalnid(int nid);
