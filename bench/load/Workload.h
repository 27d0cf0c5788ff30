#pragma once

// The requests a load run sends, built before the clock starts so that the
// timed part is only connections, handshakes and the exchange itself, and
// the checks that tell a served request from a refused one.

#include <cstddef>
#include <string>
#include <vector>

namespace hload {

enum class Kind {
    Preflight,   // OPTIONS
    Version,     // JSONP GET of an encrypted {"interfacetype":1}
    CertInfo,    // JSONP GET of getCertInfo on the session's selected certificate
    Sign,        // JSONP GET of sign (attached PKCS#7, SHA-256) with a fresh token id
    Split,       // the version request as a split request of several GETs
    Get,         // plain GET of a path: for reference servers
};
inline constexpr std::size_t kKindCount = 6;

const char* KindName(Kind kind);

struct MixEntry {
    Kind kind;
    int weight;
};

// "sign", "sign:3,version:1", "preflight,version,certinfo,sign,split".
// False with a message when a name or weight is wrong.
bool ParseMix(const std::string& text, std::vector<MixEntry>& mix, std::string& error);

struct WorkloadOptions {
    std::string runTag;         // makes session, token and splice ids unique to this run
    int sessions = 1;           // requests are spread over this many sessions
    int splitPieces = 3;
    std::size_t signBytes = 100;
    std::string getPath = "/";
};

// One request: each piece goes over a connection of its own, in order.
struct Job {
    Kind kind = Kind::Get;
    std::vector<std::string> pieces;
};

std::string SessionId(const WorkloadOptions& options, int session);

// Jobs numbered first .. first+count-1, their kinds taken from `mix` in turn.
std::vector<Job> BuildJobs(const std::vector<MixEntry>& mix, std::size_t first, std::size_t count,
                           const WorkloadOptions& options);

// The request JSONs that prepare a session for getCertInfo and sign: open the
// keychain provider (pid 0), list its certificates, select the first.
std::vector<std::string> SessionSetup(const std::string& session);
// The POST that carries one of them.
std::string SetupRequest(const std::string& requestJson);

// The bytes every sign request signs; the reference loop signs the same.
std::string SignData(std::size_t n);

// Whether a compact reply JSON has "code" 0.
bool ReplyCodeIsZero(const std::string& reply);

// Whether `raw`, the whole answer to piece `piece` of `job`, shows the work done.
bool AnswerIsGood(const Job& job, std::size_t piece, const std::string& raw);

} // namespace hload
