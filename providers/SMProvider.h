#pragma once

// One key store that a page has opened: the user's default keychain, a
// PKCS#11 module, or a token adapter library. Every kind answers the same
// operations; an operation a kind does not offer returns -1.
//
// Results: 0 success, -1 not offered by this kind, -2 failure.

#include "core/CertInfo.h"
#include "core/Certificate.h"
#include "core/OsFunctions.h"
#include "pkcs11/Pkcs11.h"
#include "token/ISMToken.h"

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

// Provider kinds by "type"; every other value is a token adapter.
inline constexpr std::int32_t kProviderKeychain = 0;
inline constexpr std::int32_t kProviderPkcs11 = 4;

// Where adapters are installed, system-wide (under $HALVORN_ROOT when set)
// and under the user's $HOME.
inline constexpr char kAdapterFolder[] = "/Library/Application Support/Tarnquill/Penwright/";
inline constexpr char kAdapterSuffix[] = ".dylib";

class SMProvider {
public:
    // Shows the certificates (DER) to the user; the position of the one
    // chosen, or none.
    using Chooser = std::function<std::optional<std::size_t>(const std::vector<std::string>&)>;

    // Opens the store; isValid() tells whether that worked.
    SMProvider(std::string name, std::int32_t type);
    ~SMProvider();
    SMProvider(const SMProvider&) = delete;  // owns a module, an adapter library and certificates
    SMProvider& operator=(const SMProvider&) = delete;

    bool isValid() const { return m_valid; }
    const std::string& name() const { return m_name; }
    std::int32_t type() const { return m_type; }
    bool isKeychain() const { return m_type == kProviderKeychain; }
    bool isPkcs11() const { return m_type == kProviderPkcs11; }
    bool isTokenAdapter() const { return !isKeychain() && !isPkcs11(); }

    // Loads the adapter "<folder><name>.dylib" from the system folder, else
    // from the user's, and initialises it. Names that could leave the folder
    // (empty, "/", "..", NUL) are refused before anything is opened.
    bool LoadAdapter(const std::string& name);

    // Keychain: count 1, result -2. PKCS#11: -1. Adapter: its token number;
    // the token contexts are fetched again; result 0.
    int keyCount(std::int32_t& count);
    // Keychain with a listing: 0. PKCS#11: -1. Otherwise selects a token:
    // negative resets to 0 and fails, too large fails and keeps the selection.
    int selectKey(std::int32_t index);
    // Lists the certificates that match `query` into `names` (numbered from
    // 0 for selectCert, exportCert and deleteCert). Keychain and PKCS#11
    // replace the previous listing; an adapter lists "unknown" once per
    // certificate of the selected token. Names are in the process code page.
    int enumerateCerts(const _CERTIFICATE_INFO_& query, std::vector<std::string>& names);
    // Sets `certificate` on success only. Keychain: type 0 by index, any
    // other type through the chooser. PKCS#11: by index. Adapter: makes the
    // certificate `certid` of the selected token active and a new object for
    // it. An index outside the listing selects nothing (-2). The object is
    // shared: it stays usable after the provider lists again.
    int selectCert(std::int32_t type, std::int32_t certid, std::shared_ptr<SMCertificate>& certificate);
    // PKCS#11 with a listing's session: user login with the fixed PIN. The
    // argument is not used. Every other case -2.
    int verifypin(const std::string& pin);
    // A new key pair and the DER of a PKCS#10 request for it.
    int genCSR(const csr_t& csr, std::string& request);
    // Keychain formats: 0 Base64 DER, 1 PEM or bare Base64, 2 Base64 PKCS#7
    // whose certificates are imported in order. PKCS#11: Base64 DER put next
    // to its key on the token (format not used).
    int importCert(const std::string& data, std::int32_t format);
    // PKCS#11 only: the Base64 DER of listed certificate `certid`.
    int exportCert(std::int32_t certid, std::string& text);
    // Keychain only: removes listed certificate `certid` and its private key
    // from the store and from the listing; later entries move down by one.
    int deleteCert(std::int32_t certid);

    // Replaces the GTK chooser (tests script the choice through it).
    void setChooser(Chooser chooser) { m_chooser = std::move(chooser); }

    std::int32_t keyIndex() const { return m_keyIndex; }
    std::size_t tokenCount() const { return m_tokenCtxs.size(); }
    const std::vector<std::shared_ptr<SMCertificate>>& certificates() const { return m_certs; }
    const std::vector<std::string>& certNames() const { return m_certNames; }

private:
    void openPkcs11();
    void clearListing();
    int enumerateKeychain(const _CERTIFICATE_INFO_& query);
    int enumeratePkcs11(const _CERTIFICATE_INFO_& query);
    int enumerateToken();
    int selectFromChooser(std::shared_ptr<SMCertificate>& certificate);
    int selectFromToken(std::int32_t certid, std::shared_ptr<SMCertificate>& certificate);
    int importKeychain(const std::string& data, std::int32_t format);
    int importPkcs11(const std::string& data);
    // The listed certificate `certid`, null when outside the listing.
    std::shared_ptr<SMCertificate> listed(std::int32_t certid) const;
    ITokenCtx* selectedToken() const;

    std::unique_ptr<tarnquill::crypto::pkcs11::Pkcs11Dll> m_module;
    std::optional<tarnquill::crypto::pkcs11::Slot> m_slot;
    tarnquill::crypto::pkcs11::Session m_session;
    std::string m_name;
    std::int32_t m_type;
    std::unique_ptr<CKeyChain> m_keychain;   // Keychain kind only
    std::unique_ptr<ISMToken> m_token;
    std::vector<TokenCtxPtr> m_tokenCtxs;
    std::vector<std::shared_ptr<SMCertificate>> m_certs;
    std::vector<std::string> m_certNames;
    bool m_valid = false;
    std::int32_t m_keyIndex = 0;
    Chooser m_chooser;
};
