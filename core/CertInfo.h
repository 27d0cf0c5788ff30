#pragma once

// The flat description of a certificate, used both as a listing's filter and as
// what the information and export commands hand back, and the readers that
// fill it from a certificate's DER.

#include <openssl/types.h>

#include <string>

// Text fields hold bytes as the certificate carries them (no conversion), so a
// filter must use the same encoding as the certificate's attribute.
struct _CERTIFICATE_INFO_ {
    bool hasPrivateKey = false;   // set by the keychain reader only; read by nothing
    std::string subject;          // subject name as RFC 2253 text in UTF-8
    std::string sn;               // serial number, as BN_bn2hex writes it
    std::string cn;
    std::string c;
    std::string e;
    std::string o;
    std::string ou;
    std::string der;              // certificate DER; set by the keychain reader
    std::string pub;              // certificate DER in Base64; set by getCertInfo
    std::string st;
    std::string l;

    // Whether this record (a certificate's) satisfies the query record: every
    // non-empty field of the query must equal ours, ignoring ASCII case.
    // A null query matches.
    bool match(const _CERTIFICATE_INFO_* query) const;
};

// The export form of the record: no state, locality, key flag or DER.
struct _CERTIFICATE_INFO_A {
    std::string subject;
    std::string sn;
    std::string cn;
    std::string c;
    std::string e;
    std::string o;
    std::string ou;
    std::string pub;              // certificate DER in Base64
    int reserved = 2;             // carried for the record's layout; nothing reads it
};

// Whole-string equality after lower-casing ASCII letters; bytes from 0x80 up
// compare as they are, whatever the process locale.
bool caseinsensecompare(const std::string& a, const std::string& b);

// sn from the certificate's serial number: uppercase hex, two digits per byte,
// "0" for zero, a leading "-" when negative. Left as it was when unreadable.
void ReadSerialNumber(_CERTIFICATE_INFO_* info, const X509* cert);

// The fields taken from the subject name: cn (only when withCommonName, since
// the keychain reader takes its common name elsewhere), c, e, o, ou, st, l, each
// the raw bytes of the first attribute of its type, and subject as RFC 2253
// text. A missing attribute leaves its field as it was.
void ReadSubjectFields(_CERTIFICATE_INFO_* info, const X509* cert, bool withCommonName);

// The DER reader: sn, then the subject fields. DER that does not parse fills
// nothing. Returns 1 (0 only for a null record).
int ReadCertInfoFromDer(_CERTIFICATE_INFO_* info, const std::string& der,
                        bool withCommonName = true);
