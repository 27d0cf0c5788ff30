/*
 * The token adapter C interface.
 *
 * A token adapter is a shared library that lets Halvorn reach the signing
 * tokens of one vendor. Halvorn loads it with dlopen(RTLD_LAZY) by the name a
 * web page gives, from "/Library/Application Support/Tarnquill/Penwright/"
 * (under $HALVORN_ROOT when that is set) or from the same path under the
 * user's $HOME. Adapter files keep the ".dylib" suffix whatever the platform.
 *
 * Every export is an unmangled C function (declare it extern "C" when the
 * adapter is written in C++) with the name given here. Halvorn looks each one
 * up with dlsym at every call, so an adapter may leave out the functions it
 * cannot offer: Halvorn then behaves as if the call had returned -1.
 *
 * Conventions:
 *  - Results are signed 32-bit integers. A positive result means success
 *    where stated. A negative result is the adapter's own error code; it is
 *    handed back to the web page as the decimal text of its low 31 bits, so
 *    keep codes distinct and documented. Do not use -1 as an error code: it
 *    is what a missing export looks like.
 *  - A token context (SM_TOKEN_CTX) is an opaque handle that the adapter
 *    hands out; Halvorn never looks inside it, passes it back unchanged, and
 *    releases it with SM_freeTokenCtx when it no longer needs it.
 *  - Variable-length answers are fetched in two calls: first with a null
 *    buffer, where the adapter stores the length it needs in *len; then with
 *    a buffer of that length, where it fills the buffer and stores the number
 *    of bytes written in *len.
 *  - Every call is made from one thread (Halvorn's main thread), one at a
 *    time. An adapter must not let a C++ exception or a signal escape.
 */
#ifndef HALVORN_TOKEN_SM_ADAPTER_H
#define HALVORN_TOKEN_SM_ADAPTER_H

#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

/* One token as the adapter hands it out. */
typedef void* SM_TOKEN_CTX;

/* Algorithm identifiers of SM_sign: OpenSSL's numeric object identifiers of
 * the digest to apply to the data before an RSA PKCS#1 v1.5 signature, or 0
 * for an SM2 signature (SM3 with the user ID "1234567812345678"). */
enum {
    SM_ALG_SM2 = 0,
    SM_ALG_MD2 = 3,
    SM_ALG_MD5 = 4,
    SM_ALG_SHA1 = 64,
    SM_ALG_SHA1_WITH_RSA = 65, /* signs like SM_ALG_SHA1 */
    SM_ALG_MD4 = 257,
    SM_ALG_SHA256 = 672
};

/* Called once after loading, with a null pointer (reserved). Result ignored. */
int32_t SM_initialize(void* reserved);

/* The number of tokens present; reported to pages as the key count. */
int32_t SM_getTokenNumber(void);

/* With (NULL, 0): the number of token contexts the adapter can hand out.
 * With an array of `capacity` entries: fills at most `capacity` handles and
 * returns how many it filled. Every handle filled is released later with
 * SM_freeTokenCtx; a second call hands out new handles. */
int32_t SM_getTokenCtx(SM_TOKEN_CTX* contexts, int32_t capacity);

/* The number of certificates on the token. */
int32_t SM_getTokenCertificateNumber(SM_TOKEN_CTX context);

/* Makes the certificate at `index` (from 0) the active one, which
 * SM_getTokenActiveCertificate reads and SM_sign signs with.
 * Positive on success. */
int32_t SM_setTokenActiveCertificate(SM_TOKEN_CTX context, int32_t index);

/* The active certificate, DER encoded, fetched in two calls (null buffer
 * first, see above). Positive on success. */
int32_t SM_getTokenActiveCertificate(SM_TOKEN_CTX context, unsigned char* buffer,
                                     int32_t* len);

/* Signs `data` with the private key of the active certificate.
 *  - algorithm SM_ALG_SM2: the answer is the 64 bytes r || s, each 32 bytes
 *    unsigned big-endian (a 65-byte answer is accepted; its last byte is
 *    ignored);
 *  - any other identifier: the RSA PKCS#1 v1.5 signature over the digest
 *    named by the identifier, as many bytes as the modulus.
 * The output is fetched in two calls (null `out` first). Positive on
 * success, a negative error code otherwise. */
int32_t SM_sign(SM_TOKEN_CTX context, const unsigned char* data, uint32_t dataLen,
                int32_t algorithm, unsigned char* out, int32_t* outLen);

/* Releases a context handed out by SM_getTokenCtx. Halvorn calls it exactly
 * once per handle and ignores the result; an adapter may also declare it as
 * returning nothing. */
int32_t SM_freeTokenCtx(SM_TOKEN_CTX context);

/* Pointer types of the exports, for dlsym. */
typedef int32_t (*SM_initialize_fn)(void*);
typedef int32_t (*SM_getTokenNumber_fn)(void);
typedef int32_t (*SM_getTokenCtx_fn)(SM_TOKEN_CTX*, int32_t);
typedef int32_t (*SM_getTokenCertificateNumber_fn)(SM_TOKEN_CTX);
typedef int32_t (*SM_setTokenActiveCertificate_fn)(SM_TOKEN_CTX, int32_t);
typedef int32_t (*SM_getTokenActiveCertificate_fn)(SM_TOKEN_CTX, unsigned char*, int32_t*);
typedef int32_t (*SM_sign_fn)(SM_TOKEN_CTX, const unsigned char*, uint32_t, int32_t,
                              unsigned char*, int32_t*);
typedef int32_t (*SM_freeTokenCtx_fn)(SM_TOKEN_CTX);

#ifdef __cplusplus
}
#endif

#endif /* HALVORN_TOKEN_SM_ADAPTER_H */
