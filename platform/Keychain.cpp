#include "platform/Keychain.h"

#include "ossl/ptr.h"

#include <openssl/crypto.h>
#include <openssl/rsa.h>
#include <openssl/x509.h>
#include <sqlite3.h>

#include <cerrno>
#include <cstdlib>
#include <ctime>
#include <fcntl.h>
#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>
#include <unordered_map>
#include <utility>

namespace kc {

namespace {

constexpr int kSchemaVersion = 1;
constexpr int kBusyTimeoutMs = 5000;
constexpr int kMinKeyBits = 1024;
constexpr int kMaxKeyBits = 16384;

// Certificates are keyed by the SHA-256 of their DER; an identity exists when a
// key row has the same canonical SubjectPublicKeyInfo as a certificate row.
// Trust settings are keyed by the certificate digest, like a platform trust
// store, so they can be made before the certificate itself is added.
constexpr const char* kSchema =
    "CREATE TABLE certificates ("
    " id INTEGER PRIMARY KEY,"
    " digest BLOB NOT NULL UNIQUE,"
    " der BLOB NOT NULL,"
    " spki BLOB NOT NULL,"
    " added INTEGER NOT NULL);"
    "CREATE INDEX certificates_spki ON certificates(spki);"
    "CREATE TABLE trust ("
    " digest BLOB PRIMARY KEY,"
    " result INTEGER NOT NULL);"
    "CREATE TABLE keys ("
    " id INTEGER PRIMARY KEY,"
    " label TEXT NOT NULL,"
    " spki BLOB NOT NULL UNIQUE,"
    " pkcs8 BLOB NOT NULL,"
    " access TEXT,"
    " added INTEGER NOT NULL);"
    "CREATE INDEX keys_label ON keys(label);";

constexpr int kTrustResultTrustRoot = 1;

// Wipes key material held in a string when it goes out of scope.
struct Scrub {
    std::string& s;
    ~Scrub() { OPENSSL_cleanse(s.data(), s.size()); }
};

} // namespace

// Prepared statements of one connection, kept between uses: preparing costs
// more than most of the queries themselves. A statement is lent out while in
// use; a second user of the same text meanwhile prepares one of its own.
struct Keychain::Statements {
    explicit Statements(sqlite3* connection) : db(connection) {}
    ~Statements()
    {
        for (auto& [sql, stmt] : idle)
            sqlite3_finalize(stmt);
    }
    Statements(const Statements&) = delete;   // owns the statements
    Statements& operator=(const Statements&) = delete;

    sqlite3_stmt* take(const char* sql)
    {
        {
            std::lock_guard<std::mutex> l(lock);
            if (const auto it = idle.find(sql); it != idle.end()) {
                sqlite3_stmt* stmt = it->second;
                idle.erase(it);
                return stmt;
            }
        }
        sqlite3_stmt* stmt = nullptr;
        if (sqlite3_prepare_v3(db, sql, -1, SQLITE_PREPARE_PERSISTENT, &stmt, nullptr) != SQLITE_OK) {
            sqlite3_finalize(stmt);
            return nullptr;
        }
        return stmt;
    }

    void give(const char* sql, sqlite3_stmt* stmt)
    {
        sqlite3_reset(stmt);
        sqlite3_clear_bindings(stmt);
        std::lock_guard<std::mutex> l(lock);
        if (!idle.emplace(sql, stmt).second)
            sqlite3_finalize(stmt);
    }

    sqlite3* db;
    std::mutex lock;
    std::unordered_map<const char*, sqlite3_stmt*> idle;   // keyed by the text's address: our SQL is literals
};

namespace {

class Stmt {
public:
    // A statement of its own, finalized after use.
    Stmt(sqlite3* db, const char* sql)
    {
        if (sqlite3_prepare_v2(db, sql, -1, &m_stmt, nullptr) != SQLITE_OK)
            m_stmt = nullptr;
    }
    // One of the store's kept statements, given back after use.
    Stmt(Keychain::Statements& kept, const char* sql) : m_stmt(kept.take(sql)), m_kept(&kept), m_sql(sql) {}
    ~Stmt()
    {
        if (m_kept != nullptr && m_stmt != nullptr)
            m_kept->give(m_sql, m_stmt);
        else
            sqlite3_finalize(m_stmt);
    }
    Stmt(const Stmt&) = delete;  // a copy would finalize the statement twice
    Stmt& operator=(const Stmt&) = delete;

    bool ok() const { return m_stmt != nullptr; }
    Stmt& blob(int i, const std::string& v)
    {
        if (m_stmt != nullptr)
            sqlite3_bind_blob(m_stmt, i, v.data(), static_cast<int>(v.size()), SQLITE_TRANSIENT);
        return *this;
    }
    Stmt& text(int i, const std::string& v)
    {
        if (m_stmt != nullptr)
            sqlite3_bind_text(m_stmt, i, v.data(), static_cast<int>(v.size()), SQLITE_TRANSIENT);
        return *this;
    }
    Stmt& null(int i)
    {
        if (m_stmt != nullptr)
            sqlite3_bind_null(m_stmt, i);
        return *this;
    }
    Stmt& integer(int i, std::int64_t v)
    {
        if (m_stmt != nullptr)
            sqlite3_bind_int64(m_stmt, i, v);
        return *this;
    }
    // SQLITE_ROW, SQLITE_DONE or an error code.
    int step() { return m_stmt != nullptr ? sqlite3_step(m_stmt) : SQLITE_ERROR; }
    bool exec() { return step() == SQLITE_DONE; }

    std::string columnBlob(int i) const
    {
        const void* p = sqlite3_column_blob(m_stmt, i);
        const int n = sqlite3_column_bytes(m_stmt, i);
        return p != nullptr ? std::string(static_cast<const char*>(p), static_cast<std::size_t>(n))
                            : std::string();
    }
    std::string columnText(int i) const
    {
        const unsigned char* p = sqlite3_column_text(m_stmt, i);
        const int n = sqlite3_column_bytes(m_stmt, i);
        return p != nullptr ? std::string(reinterpret_cast<const char*>(p), static_cast<std::size_t>(n))
                            : std::string();
    }
    std::int64_t columnInt(int i) const { return sqlite3_column_int64(m_stmt, i); }

private:
    sqlite3_stmt* m_stmt = nullptr;
    Keychain::Statements* m_kept = nullptr;
    const char* m_sql = nullptr;
};

bool execSql(sqlite3* db, const char* sql)
{
    return sqlite3_exec(db, sql, nullptr, nullptr, nullptr) == SQLITE_OK;
}

// One change: BEGIN IMMEDIATE takes the write lock up front so that two
// processes never both read and then fail to upgrade. Rolled back unless committed.
class Transaction {
public:
    explicit Transaction(sqlite3* db) : m_db(db), m_open(execSql(db, "BEGIN IMMEDIATE")) {}
    ~Transaction()
    {
        if (m_open)
            execSql(m_db, "ROLLBACK");
    }
    Transaction(const Transaction&) = delete;  // a copy would roll back twice
    Transaction& operator=(const Transaction&) = delete;

    bool ok() const { return m_open; }
    bool commit()
    {
        if (!m_open)
            return false;
        m_open = false;
        if (execSql(m_db, "COMMIT"))
            return true;
        execSql(m_db, "ROLLBACK");
        return false;
    }

private:
    sqlite3* m_db;
    bool m_open;
};

std::int64_t now() { return static_cast<std::int64_t>(std::time(nullptr)); }

std::string sha256(const std::string& bytes)
{
    unsigned char md[EVP_MAX_MD_SIZE];
    unsigned int len = 0;
    if (EVP_Digest(bytes.data(), bytes.size(), md, &len, EVP_sha256(), nullptr) != 1)
        return {};
    return std::string(reinterpret_cast<char*>(md), len);
}

std::string spkiOf(EVP_PKEY* key)
{
    return ossl::toDer(key, i2d_PUBKEY);
}

bool isRsa(const EVP_PKEY* key) { return key != nullptr && EVP_PKEY_is_a(key, "RSA") == 1; }

// A public-only copy, so that the public half of a pair cannot sign or decrypt.
EVP_PKEY* publicOnly(EVP_PKEY* key)
{
    const std::string spki = spkiOf(key);
    const auto* p = reinterpret_cast<const unsigned char*>(spki.data());
    return d2i_PUBKEY(nullptr, &p, static_cast<long>(spki.size()));
}

EVP_PKEY* privateFromPkcs8(const std::string& der)
{
    const auto* p = reinterpret_cast<const unsigned char*>(der.data());
    std::unique_ptr<PKCS8_PRIV_KEY_INFO, ossl::Deleter<PKCS8_PRIV_KEY_INFO_free>> info(
        d2i_PKCS8_PRIV_KEY_INFO(nullptr, &p, static_cast<long>(der.size())));
    return info ? EVP_PKCS82PKEY(info.get()) : nullptr;
}

std::string homeFolder()
{
    const char* home = std::getenv("HOME");
    if (home != nullptr && home[0] != '\0')
        return home;
    if (const passwd* pw = getpwuid(getuid()); pw != nullptr && pw->pw_dir != nullptr)
        return pw->pw_dir;
    return {};
}

// Creates each missing folder of the path with mode 0700.
bool makeFolders(const std::string& folder)
{
    if (folder.empty())
        return false;
    for (std::size_t pos = 1;; ++pos) {
        pos = folder.find('/', pos);
        const std::string part = folder.substr(0, pos);
        if (mkdir(part.c_str(), 0700) != 0 && errno != EEXIST)
            return false;
        if (pos == std::string::npos)
            break;
    }
    struct stat st {};
    return stat(folder.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

std::string parentOf(const std::string& path)
{
    const auto slash = path.rfind('/');
    if (slash == std::string::npos)
        return ".";
    return slash == 0 ? "/" : path.substr(0, slash);
}

// The file is made by us with 0600 before the library sees it, so it is never
// readable by others, not even for a moment; SQLite gives its -wal and -shm
// files the same mode.
bool prepareFile(const std::string& path)
{
    const int fd = open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC | O_NOFOLLOW, 0600);
    if (fd < 0)
        return false;
    const bool ok = fchmod(fd, 0600) == 0;
    close(fd);
    return ok;
}

bool setUpSchema(sqlite3* db)
{
    Transaction tx(db);
    if (!tx.ok())
        return false;
    Stmt version(db, "PRAGMA user_version");
    if (version.step() != SQLITE_ROW)
        return false;
    const auto v = version.columnInt(0);
    if (v == kSchemaVersion)
        return tx.commit();
    if (v != 0)
        return false;  // written by a newer build: leave it alone
    if (!execSql(db, kSchema))
        return false;
    if (!execSql(db, "PRAGMA user_version = 1"))
        return false;
    return tx.commit();
}

} // namespace

// ---------------------------------------------------------------- Object

void Object::retain() const noexcept { m_refs.fetch_add(1, std::memory_order_relaxed); }

void Object::release() const noexcept
{
    if (m_refs.fetch_sub(1, std::memory_order_acq_rel) == 1)
        delete this;
}

int Object::retainCount() const noexcept { return m_refs.load(std::memory_order_relaxed); }

// ---------------------------------------------------------------- Keychain

std::string Keychain::DefaultPath()
{
    std::string base;
    const char* xdg = std::getenv("XDG_DATA_HOME");
    if (xdg != nullptr && xdg[0] == '/') {
        base = xdg;
    } else {
        const std::string home = homeFolder();
        if (home.empty())
            return {};
        base = home + "/.local/share";
    }
    while (!base.empty() && base.back() == '/')
        base.pop_back();
    return base + "/halvorn/keychain.db";
}

namespace {

// The default store stays open for the thread that asked for it, so a request
// does not pay for opening the file, its pragmas and the folder checks every
// time. Per thread because a connection's transactions must not interleave
// between threads; per process because SQLite connections must not be used
// across fork. Other processes changing the file are SQLite's business.
struct DefaultStore {
    pid_t pid = 0;
    std::string path;
    dev_t dev = 0;
    ino_t ino = 0;
    Keychain* store = nullptr;  // one count

    void reset(Keychain* next, const std::string& nextPath, const struct stat& st)
    {
        // A forked child leaves its parent's connection alone.
        if (pid == getpid())
            Release(store);
        pid = getpid();
        path = nextPath;
        dev = st.st_dev;
        ino = st.st_ino;
        store = next;
    }
    ~DefaultStore()
    {
        if (pid == getpid())
            Release(store);
    }
};

thread_local DefaultStore t_defaultStore;

// The cached connection still names the file at the path, and nobody widened
// the folder or the file (opening again tightens them).
bool stillCurrent(const DefaultStore& cache, const std::string& path)
{
    if (cache.store == nullptr || cache.pid != getpid() || cache.path != path)
        return false;
    struct stat file {};
    struct stat folder {};
    return stat(path.c_str(), &file) == 0 && file.st_dev == cache.dev && file.st_ino == cache.ino
           && (file.st_mode & 0777) == 0600 && stat(parentOf(path).c_str(), &folder) == 0
           && (folder.st_mode & 0777) == 0700;
}

} // namespace

Keychain* Keychain::CopyDefault()
{
    const std::string path = DefaultPath();
    if (path.empty())
        return nullptr;
    DefaultStore& cache = t_defaultStore;
    if (stillCurrent(cache, path))
        return Retain(cache.store);
    // The halvorn folder is ours alone: tighten it if someone widened it.
    const std::string folder = parentOf(path);
    if (!makeFolders(folder))
        return nullptr;
    chmod(folder.c_str(), 0700);
    Keychain* store = Open(path);
    struct stat st {};
    if (store != nullptr && stat(path.c_str(), &st) == 0)
        cache.reset(Retain(store), path, st);
    return store;
}

Keychain* Keychain::Open(const std::string& path)
{
    if (path.empty() || !makeFolders(parentOf(path)) || !prepareFile(path))
        return nullptr;
    sqlite3* db = nullptr;
    if (sqlite3_open_v2(path.c_str(), &db, SQLITE_OPEN_READWRITE | SQLITE_OPEN_FULLMUTEX, nullptr)
        != SQLITE_OK) {
        sqlite3_close(db);
        return nullptr;
    }
    sqlite3_busy_timeout(db, kBusyTimeoutMs);
    bool ok = false;
    {
        Stmt wal(db, "PRAGMA journal_mode=WAL");
        ok = wal.step() == SQLITE_ROW && wal.columnText(0) == "wal";
    }
    // FULL: a committed change survives a power cut, not only a crash.
    // secure_delete: a deleted private key is overwritten, not left in free pages.
    ok = ok && execSql(db, "PRAGMA synchronous=FULL") && execSql(db, "PRAGMA secure_delete=ON")
         && setUpSchema(db);
    if (!ok) {
        sqlite3_close(db);
        return nullptr;
    }
    return new Keychain(path, db);
}

Keychain::Keychain(std::string path, sqlite3* db)
    : m_path(std::move(path)), m_db(db), m_statements(std::make_unique<Statements>(db))
{
}

Keychain::~Keychain()
{
    for (auto& [row, entry] : m_keys)
        EVP_PKEY_free(entry.pkey);
    m_statements.reset();   // statements before their connection
    sqlite3_close(m_db);
}

EVP_PKEY* Keychain::cachedKey(std::int64_t rowId, const std::string& spki)
{
    std::lock_guard<std::mutex> lock(m_keysLock);
    const auto it = m_keys.find(rowId);
    if (it == m_keys.end())
        return nullptr;
    if (it->second.spki != spki) {  // the row number was reused for another key
        EVP_PKEY_free(it->second.pkey);
        m_keys.erase(it);
        return nullptr;
    }
    return EVP_PKEY_up_ref(it->second.pkey) == 1 ? it->second.pkey : nullptr;
}

void Keychain::cacheKey(std::int64_t rowId, const std::string& spki, EVP_PKEY* pkey)
{
    // A handful of identities is the normal case; a bound keeps an odd caller
    // from holding every key of a large store in memory.
    constexpr std::size_t kMaxCachedKeys = 16;
    std::lock_guard<std::mutex> lock(m_keysLock);
    if (m_keys.count(rowId) == 0 && m_keys.size() >= kMaxCachedKeys) {
        for (auto& [row, entry] : m_keys)
            EVP_PKEY_free(entry.pkey);
        m_keys.clear();
    }
    if (EVP_PKEY_up_ref(pkey) != 1)
        return;
    CachedKey& entry = m_keys[rowId];
    EVP_PKEY_free(entry.pkey);
    entry = {spki, pkey};
}

void Keychain::forgetKey(const std::string& spki)
{
    std::lock_guard<std::mutex> lock(m_keysLock);
    for (auto it = m_keys.begin(); it != m_keys.end();) {
        if (it->second.spki == spki) {
            EVP_PKEY_free(it->second.pkey);
            it = m_keys.erase(it);
        } else {
            ++it;
        }
    }
}

int Keychain::AddCertificate(const Certificate* cert)
{
    if (cert == nullptr)
        return errSecParam;
    Transaction tx(m_db);
    if (!tx.ok())
        return errSecIO;
    bool added = false;
    if (const int st = insertCertificateRow(cert, &added); st != errSecSuccess)
        return st;
    if (!tx.commit())
        return errSecIO;
    return added ? errSecSuccess : errSecDuplicateItem;
}

int Keychain::insertCertificateRow(const Certificate* cert, bool* added)
{
    Stmt ins(*m_statements, "INSERT OR IGNORE INTO certificates(digest, der, spki, added) VALUES(?,?,?,?)");
    ins.blob(1, cert->digest()).blob(2, cert->data()).blob(3, cert->publicKeyInfo()).integer(4, now());
    if (!ins.exec())
        return errSecIO;
    *added = sqlite3_changes(m_db) > 0;
    return errSecSuccess;
}

int Keychain::SetTrustRoot(const Certificate* cert)
{
    if (cert == nullptr)
        return errSecParam;
    Transaction tx(m_db);
    if (!tx.ok())
        return errSecIO;
    Stmt ins(*m_statements, "INSERT OR REPLACE INTO trust(digest, result) VALUES(?,?)");
    ins.blob(1, cert->digest()).integer(2, kTrustResultTrustRoot);
    if (!ins.exec() || !tx.commit())
        return errSecIO;
    return errSecSuccess;
}

bool Keychain::IsTrusted(const Certificate* cert)
{
    if (cert == nullptr)
        return false;
    Stmt q(*m_statements, "SELECT result FROM trust WHERE digest = ?");
    q.blob(1, cert->digest());
    return q.step() == SQLITE_ROW && q.columnInt(0) == kTrustResultTrustRoot;
}

int Keychain::DeleteCertificate(const Certificate* cert)
{
    if (cert == nullptr)
        return errSecParam;
    Transaction tx(m_db);
    if (!tx.ok())
        return errSecIO;
    if (const int st = deleteCertificateRows(cert); st != errSecSuccess)
        return st;
    return tx.commit() ? errSecSuccess : errSecIO;
}

int Keychain::deleteCertificateRows(const Certificate* cert)
{
    Stmt del(*m_statements, "DELETE FROM certificates WHERE digest = ?");
    del.blob(1, cert->digest());
    if (!del.exec())
        return errSecIO;
    if (sqlite3_changes(m_db) == 0)
        return errSecItemNotFound;
    Stmt trust(*m_statements, "DELETE FROM trust WHERE digest = ?");
    trust.blob(1, cert->digest());
    return trust.exec() ? errSecSuccess : errSecIO;
}

int Keychain::storeKey(EVP_PKEY* key, const std::string& label, const std::string* access,
                       std::int64_t* rowId)
{
    std::string pkcs8;
    Scrub scrub{pkcs8};
    {
        std::unique_ptr<PKCS8_PRIV_KEY_INFO, ossl::Deleter<PKCS8_PRIV_KEY_INFO_free>> info(
            EVP_PKEY2PKCS8(key));
        if (!info)
            return errSecDecode;
        pkcs8 = ossl::toDer(info.get(), i2d_PKCS8_PRIV_KEY_INFO);
    }
    const std::string spki = spkiOf(key);
    if (pkcs8.empty() || spki.empty())
        return errSecDecode;
    Stmt ins(*m_statements, "INSERT OR IGNORE INTO keys(label, spki, pkcs8, access, added) VALUES(?,?,?,?,?)");
    ins.text(1, label).blob(2, spki).blob(3, pkcs8).integer(5, now());
    if (access != nullptr)
        ins.text(4, *access);
    else
        ins.null(4);
    if (!ins.exec())
        return errSecIO;
    if (sqlite3_changes(m_db) == 0)
        return errSecDuplicateItem;
    if (rowId != nullptr)
        *rowId = sqlite3_last_insert_rowid(m_db);
    return errSecSuccess;
}

int Keychain::findKey(const std::string& spki, std::int64_t* rowId, std::string* pkcs8,
                      std::string* label)
{
    Stmt q(*m_statements, "SELECT id, pkcs8, label FROM keys WHERE spki = ?");
    q.blob(1, spki);
    const int rc = q.step();
    if (rc == SQLITE_DONE)
        return errSecItemNotFound;
    if (rc != SQLITE_ROW)
        return errSecIO;
    if (rowId != nullptr)
        *rowId = q.columnInt(0);
    if (pkcs8 != nullptr)
        *pkcs8 = q.columnBlob(1);
    if (label != nullptr)
        *label = q.columnText(2);
    return errSecSuccess;
}

int Keychain::AddPrivateKey(EVP_PKEY* key, const std::string& label)
{
    if (!isRsa(key))
        return errSecInvalidKey;
    Transaction tx(m_db);
    if (!tx.ok())
        return errSecIO;
    const int st = storeKey(key, label, nullptr, nullptr);
    if (st != errSecSuccess)
        return st;
    return tx.commit() ? errSecSuccess : errSecIO;
}

int Keychain::DeleteKey(const Key* key)
{
    if (key == nullptr || key->pkey() == nullptr)
        return errSecParam;
    const std::string spki = spkiOf(key->pkey());
    Transaction tx(m_db);
    if (!tx.ok())
        return errSecIO;
    Stmt del(*m_statements, "DELETE FROM keys WHERE spki = ?");
    del.blob(1, spki);
    if (!del.exec())
        return errSecIO;
    if (sqlite3_changes(m_db) == 0)
        return errSecItemNotFound;
    if (!tx.commit())
        return errSecIO;
    forgetKey(spki);
    return errSecSuccess;
}

int Keychain::Import(const std::vector<const Certificate*>& certs, EVP_PKEY* privateKey,
                     const std::string& label, int* added, int* skipped)
{
    if (privateKey != nullptr && !isRsa(privateKey))
        return errSecInvalidKey;
    int nAdded = 0;
    int nSkipped = 0;
    Transaction tx(m_db);
    if (!tx.ok())
        return errSecIO;
    for (const Certificate* cert : certs) {
        if (cert == nullptr)
            return errSecParam;
        bool added = false;
        if (const int st = insertCertificateRow(cert, &added); st != errSecSuccess)
            return st;
        if (added)
            ++nAdded;
        else
            ++nSkipped;
    }
    if (privateKey != nullptr) {
        const int st = storeKey(privateKey, label, nullptr, nullptr);
        if (st != errSecSuccess && st != errSecDuplicateItem)
            return st;
    }
    if (!tx.commit())
        return errSecIO;
    if (added != nullptr)
        *added = nAdded;
    if (skipped != nullptr)
        *skipped = nSkipped;
    return errSecSuccess;
}

int Keychain::DeleteCertificateAndKey(const Certificate* cert, bool* keyDeleted)
{
    if (keyDeleted != nullptr)
        *keyDeleted = false;
    if (cert == nullptr)
        return errSecParam;
    Transaction tx(m_db);
    if (!tx.ok())
        return errSecIO;
    if (const int st = deleteCertificateRows(cert); st != errSecSuccess)
        return st;
    // A renewed certificate may share the key; it keeps working.
    Stmt key(*m_statements,
             "DELETE FROM keys WHERE spki = ?1 AND NOT EXISTS "
             "(SELECT 1 FROM certificates WHERE spki = ?1)");
    key.blob(1, cert->publicKeyInfo());
    if (!key.exec())
        return errSecIO;
    const bool gone = sqlite3_changes(m_db) > 0;
    if (!tx.commit())
        return errSecIO;
    if (gone)
        forgetKey(cert->publicKeyInfo());
    if (keyDeleted != nullptr)
        *keyDeleted = gone;
    return errSecSuccess;
}

int Keychain::CopyCertificates(std::vector<Certificate*>& out)
{
    std::vector<CertificateEntry> entries;
    const int st = CopyEntries(entries);
    if (st != errSecSuccess)
        return st;
    for (const auto& e : entries)
        out.push_back(e.certificate);
    return errSecSuccess;
}

int Keychain::CopyEntries(std::vector<CertificateEntry>& out)
{
    Stmt q(*m_statements,
           "SELECT c.der,"
           " EXISTS(SELECT 1 FROM keys k WHERE k.spki = c.spki),"
           " EXISTS(SELECT 1 FROM trust t WHERE t.digest = c.digest AND t.result = 1)"
           " FROM certificates c ORDER BY c.id");
    if (!q.ok())
        return errSecIO;
    std::vector<CertificateEntry> found;
    int rc;
    while ((rc = q.step()) == SQLITE_ROW) {
        Certificate* cert = Certificate::CreateWithData(q.columnBlob(0));
        if (cert == nullptr)
            continue;  // cannot happen for rows we wrote; never fail a listing over it
        found.push_back({cert, q.columnInt(1) != 0, q.columnInt(2) != 0});
    }
    if (rc != SQLITE_DONE) {
        for (auto& e : found)
            Release(e.certificate);
        return errSecIO;
    }
    out.insert(out.end(), found.begin(), found.end());
    return errSecSuccess;
}

int Keychain::CopyKeysWithLabel(const std::string& label, std::vector<Key*>& out)
{
    Stmt q(*m_statements, "SELECT id, pkcs8 FROM keys WHERE label = ? ORDER BY id");
    q.text(1, label);
    if (!q.ok())
        return errSecIO;
    int rc;
    while ((rc = q.step()) == SQLITE_ROW) {
        std::string pkcs8 = q.columnBlob(1);
        Scrub scrub{pkcs8};
        EVP_PKEY* pkey = privateFromPkcs8(pkcs8);
        if (pkey != nullptr)
            out.push_back(new Key(pkey, true, this, q.columnInt(0), label));
    }
    return rc == SQLITE_DONE ? errSecSuccess : errSecIO;
}

int Keychain::GenerateKeyPair(const std::string& label, int bits, const std::string* accessDescriptor,
                              Key** publicKey, Key** privateKey)
{
    if (publicKey == nullptr || privateKey == nullptr || bits < kMinKeyBits || bits > kMaxKeyBits)
        return errSecParam;
    *publicKey = nullptr;
    *privateKey = nullptr;
    ossl::EvpPkeyPtr pair(EVP_PKEY_Q_keygen(nullptr, nullptr, "RSA", static_cast<size_t>(bits)));
    if (!pair)
        return errSecCrypto;
    ossl::EvpPkeyPtr pub(publicOnly(pair.get()));
    if (!pub)
        return errSecCrypto;
    Transaction tx(m_db);
    if (!tx.ok())
        return errSecIO;
    std::int64_t row = 0;
    const int st = storeKey(pair.get(), label, accessDescriptor, &row);
    if (st != errSecSuccess)
        return st;
    if (!tx.commit())
        return errSecIO;
    *publicKey = new Key(pub.release(), false, this, row, label);
    *privateKey = new Key(pair.release(), true, this, row, label);
    return errSecSuccess;
}

int Keychain::CopyPrivateKeyForCertificate(const Certificate* cert, Key** out)
{
    if (cert == nullptr || out == nullptr)
        return errSecParam;
    *out = nullptr;
    if (cert->publicKeyInfo().empty())
        return errSecItemNotFound;
    std::int64_t row = 0;
    std::string pkcs8;
    Scrub scrub{pkcs8};
    std::string label;
    const int st = findKey(cert->publicKeyInfo(), &row, &pkcs8, &label);
    if (st != errSecSuccess) {
        if (st == errSecItemNotFound)
            forgetKey(cert->publicKeyInfo());  // deleted by another process
        return st;
    }
    EVP_PKEY* pkey = cachedKey(row, cert->publicKeyInfo());
    if (pkey == nullptr) {
        pkey = privateFromPkcs8(pkcs8);
        if (pkey == nullptr)
            return errSecDecode;
        cacheKey(row, cert->publicKeyInfo(), pkey);
    }
    *out = new Key(pkey, true, this, row, label);
    return errSecSuccess;
}

// ---------------------------------------------------------------- Certificate

Certificate* Certificate::CreateWithData(const std::string& der)
{
    if (der.empty())
        return nullptr;
    const auto* p = reinterpret_cast<const unsigned char*>(der.data());
    const auto* end = p + der.size();
    X509* x = d2i_X509(nullptr, &p, static_cast<long>(der.size()));
    if (x == nullptr)
        return nullptr;
    if (p != end) {  // trailing bytes: not exactly one certificate
        X509_free(x);
        return nullptr;
    }
    return new Certificate(der, x);
}

Certificate::Certificate(std::string der, X509* x509) : m_der(std::move(der)), m_x509(x509)
{
    // Canonical encoding of the key, so a certificate and the key that was
    // stored for it compare equal byte for byte.
    if (EVP_PKEY* key = X509_get0_pubkey(m_x509); key != nullptr)
        m_spki = spkiOf(key);
    else
        m_spki = ossl::toDer(X509_get_X509_PUBKEY(m_x509), i2d_X509_PUBKEY);
}

Certificate::~Certificate() { X509_free(m_x509); }

std::string Certificate::digest() const { return sha256(m_der); }

int Certificate::CopyPublicKey(Key** out) const
{
    if (out == nullptr)
        return errSecParam;
    *out = nullptr;
    EVP_PKEY* key = X509_get_pubkey(m_x509);
    if (key == nullptr)
        return errSecDecode;
    *out = new Key(key, false, nullptr, 0, {});
    return errSecSuccess;
}

int Certificate::CopyCommonName(std::string& out) const
{
    const X509_NAME* name = X509_get_subject_name(m_x509);
    const int idx = X509_NAME_get_index_by_NID(name, NID_commonName, -1);
    if (idx < 0)
        return errSecItemNotFound;
    const ASN1_STRING* value = X509_NAME_ENTRY_get_data(X509_NAME_get_entry(name, idx));
    unsigned char* utf8 = nullptr;
    const int len = ASN1_STRING_to_UTF8(&utf8, value);
    if (len < 0)
        return errSecDecode;
    out.assign(reinterpret_cast<char*>(utf8), static_cast<std::size_t>(len));
    OPENSSL_free(utf8);
    return errSecSuccess;
}

std::string Certificate::serialHex() const
{
    ossl::BignumPtr bn(ASN1_INTEGER_to_BN(X509_get0_serialNumber(m_x509), nullptr));
    if (!bn)
        return {};
    char* hex = BN_bn2hex(bn.get());
    if (hex == nullptr)
        return {};
    std::string s(hex);
    OPENSSL_free(hex);
    return s;
}

// ---------------------------------------------------------------- Identity

int Identity::CreateWithCertificate(Keychain* keychain, Certificate* cert, Identity** out)
{
    if (cert == nullptr || out == nullptr)
        return errSecParam;
    *out = nullptr;
    Keychain* store = keychain != nullptr ? Retain(keychain) : Keychain::CopyDefault();
    if (store == nullptr)
        return errSecIO;
    Key* key = nullptr;
    const int st = store->CopyPrivateKeyForCertificate(cert, &key);
    Release(store);  // the key keeps its store open
    if (st != errSecSuccess)
        return st;
    *out = new Identity(Retain(cert), key);
    return errSecSuccess;
}

Identity::Identity(Certificate* cert, Key* key) : m_cert(cert), m_key(key) {}

Identity::~Identity()
{
    Release(m_key);
    Release(m_cert);
}

int Identity::CopyPrivateKey(Key** out) const
{
    if (out == nullptr)
        return errSecParam;
    *out = Retain(m_key);
    return errSecSuccess;
}

int Identity::CopyCertificate(Certificate** out) const
{
    if (out == nullptr)
        return errSecParam;
    *out = Retain(m_cert);
    return errSecSuccess;
}

// ---------------------------------------------------------------- Key

Key::Key(EVP_PKEY* pkey, bool isPrivate, Keychain* keychain, std::int64_t rowId, std::string label)
    : m_pkey(pkey), m_private(isPrivate), m_keychain(Retain(keychain)), m_rowId(rowId),
      m_label(std::move(label))
{
}

Key::~Key()
{
    EVP_PKEY_free(m_pkey);
    Release(m_keychain);
}

int Key::sizeInBits() const { return m_pkey != nullptr ? EVP_PKEY_get_bits(m_pkey) : 0; }

int Key::Export(std::string& out) const
{
    if (m_pkey == nullptr)
        return errSecParam;
    if (!m_private) {
        out = spkiOf(m_pkey);
        return out.empty() ? errSecDecode : errSecSuccess;
    }
    if (!isRsa(m_pkey))
        return errSecInvalidKey;
    // For an RSA key the type-specific form is the PKCS#1 RSAPrivateKey.
    out = ossl::toDer(m_pkey, i2d_PrivateKey);
    return out.empty() ? errSecDecode : errSecSuccess;
}

int Key::Sign(SignAlgorithm algorithm, const std::string& data, std::string& signature) const
{
    if (!m_private || !isRsa(m_pkey))
        return errSecInvalidKey;
    const char* name = nullptr;
    switch (algorithm) {
    case SignAlgorithm::MD2WithRSA: name = "MD2"; break;
    case SignAlgorithm::MD5WithRSA: name = "MD5"; break;
    case SignAlgorithm::SHA1WithRSA: name = "SHA1"; break;
    case SignAlgorithm::SHA256WithRSA: name = "SHA256"; break;
    }
    ossl::EvpMdPtr md(EVP_MD_fetch(nullptr, name, nullptr));
    if (!md)
        return errSecUnimplemented;
    ossl::EvpMdCtxPtr ctx(EVP_MD_CTX_new());
    EVP_PKEY_CTX* pctx = nullptr;
    if (!ctx || EVP_DigestSignInit(ctx.get(), &pctx, md.get(), nullptr, m_pkey) != 1
        || EVP_PKEY_CTX_set_rsa_padding(pctx, RSA_PKCS1_PADDING) != 1)
        return errSecCrypto;
    size_t len = 0;
    const auto* in = reinterpret_cast<const unsigned char*>(data.data());
    if (EVP_DigestSign(ctx.get(), nullptr, &len, in, data.size()) != 1)
        return errSecCrypto;
    std::string sig(len, '\0');
    if (EVP_DigestSign(ctx.get(), reinterpret_cast<unsigned char*>(sig.data()), &len, in, data.size()) != 1)
        return errSecCrypto;
    sig.resize(len);
    signature = std::move(sig);
    return errSecSuccess;
}

namespace {

using PkeyInit = int (*)(EVP_PKEY_CTX*);
using PkeyOp = int (*)(EVP_PKEY_CTX*, unsigned char*, size_t*, const unsigned char*, size_t);

// One RSA PKCS#1 v1.5 encryption or decryption: ask the size, then fill.
// A failed fill is wiped, as it may hold part of a plaintext.
int rsaPkcs1(EVP_PKEY* key, PkeyInit init, PkeyOp op, const std::string& input, std::string& output)
{
    ossl::EvpPkeyCtxPtr ctx(EVP_PKEY_CTX_new_from_pkey(nullptr, key, nullptr));
    if (!ctx || init(ctx.get()) != 1 || EVP_PKEY_CTX_set_rsa_padding(ctx.get(), RSA_PKCS1_PADDING) != 1)
        return errSecCrypto;
    const auto* in = reinterpret_cast<const unsigned char*>(input.data());
    size_t len = 0;
    if (op(ctx.get(), nullptr, &len, in, input.size()) != 1)
        return errSecCrypto;
    std::string out(len, '\0');
    if (op(ctx.get(), reinterpret_cast<unsigned char*>(out.data()), &len, in, input.size()) != 1) {
        OPENSSL_cleanse(out.data(), out.size());
        return errSecCrypto;
    }
    out.resize(len);
    output = std::move(out);
    return errSecSuccess;
}

} // namespace

int Key::Encrypt(const std::string& plain, std::string& cipher) const
{
    if (!isRsa(m_pkey))
        return errSecInvalidKey;
    return rsaPkcs1(m_pkey, EVP_PKEY_encrypt_init, EVP_PKEY_encrypt, plain, cipher);
}

int Key::Decrypt(const std::string& cipher, std::string& plain) const
{
    if (!m_private || !isRsa(m_pkey))
        return errSecInvalidKey;
    return rsaPkcs1(m_pkey, EVP_PKEY_decrypt_init, EVP_PKEY_decrypt, cipher, plain);
}

} // namespace kc
