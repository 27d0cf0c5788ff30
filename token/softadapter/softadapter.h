/*
 * The software token adapter: an example of the token adapter interface
 * (token/sm_adapter.h) that keeps its tokens in folders instead of hardware.
 * Tests and demonstrations load it like any vendor's adapter; it is built as
 * libhalvorn_softadapter.dylib.
 *
 * Where the tokens are
 *   HALVORN_SOFTTOKEN_ROOT names a folder. Each sub-folder whose name does
 *   not start with "." is one token; tokens are counted and handed out in
 *   the byte order of their folder names. Without the variable, or without
 *   the folder, there are no tokens. The variable is read at every
 *   SM_getTokenNumber and SM_getTokenCtx call.
 *
 * One token folder
 *   NAME.crt    a certificate, PEM or DER, RSA or SM2. The certificates of a
 *               token are its *.crt files in the byte order of their names,
 *               counted from 0; the list is taken when the context is
 *               handed out.
 *   NAME.key    the private key of NAME.crt, PEM or DER (PKCS#8 or the
 *               traditional form). Without it the certificate can be read
 *               but not signed with.
 *   token.conf  optional settings, "key = value" lines, "#" starts a
 *               comment; read at every call, so a test may change it:
 *                 sm2_signature_size = 65
 *                     answer SM2 signatures with 65 bytes (r || s and one
 *                     trailing zero byte) as some adapters do; default 64.
 *                 fail.SM_sign = -5
 *                     make that export return the given code instead of
 *                     doing its work (any export that takes a context:
 *                     SM_getTokenCertificateNumber,
 *                     SM_setTokenActiveCertificate,
 *                     SM_getTokenActiveCertificate, SM_sign).
 *
 * Call log
 *   When HALVORN_SOFTTOKEN_LOG names a file, every call appends one line to
 *   it: the export's name, "token=" and the token's folder name where a
 *   context is involved, the arguments that matter ("index=", "alg=",
 *   "len=") and "rc=" with the result, e.g.
 *     SM_sign token=alice alg=0 len=5 rc=1
 *     SM_freeTokenCtx token=alice rc=1
 *
 * Signatures
 *   Algorithm 0 signs with an SM2 key: SM3 over the user ID
 *   "1234567812345678" and the data, answered as r || s (32 bytes each).
 *   Algorithms 3 (MD2), 4 (MD5), 64 and 65 (SHA-1), 257 (MD4) and 672
 *   (SHA-256) sign with an RSA key, PKCS#1 v1.5 over that digest of the
 *   data. A digest the OpenSSL in use does not offer (MD2, usually MD4)
 *   fails with SOFT_E_ALGORITHM, as does a key of the other kind.
 */
#ifndef HALVORN_TOKEN_SOFTADAPTER_H
#define HALVORN_TOKEN_SOFTADAPTER_H

/* The adapter's error codes (it never answers -1: that is a missing export). */
enum {
    SOFT_E_ARGUMENT = -2,   /* unknown context, null pointer, index out of range */
    SOFT_E_BUFFER = -3,     /* buffer too small; the length needed is in *len */
    SOFT_E_NO_ACTIVE = -4,  /* no active certificate */
    SOFT_E_KEY = -5,        /* private key missing, unreadable or not the certificate's */
    SOFT_E_ALGORITHM = -6,  /* algorithm not offered for this key */
    SOFT_E_SIGN = -7,       /* the signature could not be made */
    SOFT_E_CERT = -8,       /* certificate file unreadable */
    SOFT_E_INTERNAL = -9    /* anything unexpected */
};

#endif /* HALVORN_TOKEN_SOFTADAPTER_H */
