#include "bench/load/Workload.h"

#include "base64/Base64.h"
#include "service/service_win.h"
#include "tools/halvorn-call/HalvornClient.h"

#include <array>
#include <cstdlib>
#include <sstream>

namespace hload {

namespace {

constexpr char kCallback[] = "cb";
constexpr char kVersionReply[] = R"({"code":0,"data":"1.0.0.3"})";
// Attached PKCS#7 (form bits 0x00) over SHA-256 (digest selector 6).
constexpr int kSignFlags = 6;

constexpr std::array<const char*, kKindCount> kNames = {"preflight", "version", "certinfo", "sign", "split", "get"};

std::string preflight()
{
    return "OPTIONS / HTTP/1.1\r\nHost: localhost\r\nOrigin: https://bank.example\r\n"
           "Access-Control-Request-Method: GET\r\n\r\n";
}

std::string versionJson(const std::string& session)
{
    return R"({"interfacetype":1,"id":")" + session + R"(","data":{}})";
}

std::string commandJson(const std::string& session, const std::string& data)
{
    return R"({"interfacetype":0,"id":")" + session + R"(","data":)" + data + "}";
}

std::string jsonpOf(const std::string& requestJson)
{
    return hclient::JsonpGet(kCallback, hclient::BuildEnvelope(requestJson, hclient::MakeRankey()));
}

bool jsonpReply(const std::string& raw, std::string& reply)
{
    return hclient::UnwrapJsonp(raw, kCallback, reply);
}

} // namespace

std::string SignData(std::size_t n)
{
    std::string data(n, '\0');
    for (std::size_t i = 0; i < n; ++i)
        data[i] = static_cast<char>('a' + i % 26);
    return data;
}

bool ReplyCodeIsZero(const std::string& reply)
{
    // Compact writer, members in name order: "code" is followed by a comma or the end.
    return reply.find("\"code\":0,") != std::string::npos || reply.find("\"code\":0}") != std::string::npos;
}

const char* KindName(Kind kind)
{
    return kNames[static_cast<std::size_t>(kind)];
}

bool ParseMix(const std::string& text, std::vector<MixEntry>& mix, std::string& error)
{
    mix.clear();
    std::istringstream items(text);
    std::string item;
    while (std::getline(items, item, ',')) {
        std::string name = item;
        int weight = 1;
        if (const auto colon = item.find(':'); colon != std::string::npos) {
            name = item.substr(0, colon);
            char* end = nullptr;
            const std::string w = item.substr(colon + 1);
            const long v = std::strtol(w.c_str(), &end, 10);
            if (w.empty() || *end != '\0' || v < 1 || v > 1000) {
                error = "weight of \"" + name + "\" must be 1 to 1000";
                return false;
            }
            weight = static_cast<int>(v);
        }
        bool known = false;
        for (std::size_t k = 0; k < kKindCount; ++k) {
            if (name == kNames[k]) {
                mix.push_back({static_cast<Kind>(k), weight});
                known = true;
            }
        }
        if (!known) {
            error = "unknown request kind \"" + name + "\" (preflight, version, certinfo, sign, split, get)";
            return false;
        }
    }
    if (mix.empty()) {
        error = "empty mix";
        return false;
    }
    return true;
}

std::string SessionId(const WorkloadOptions& options, int session)
{
    return "load-" + options.runTag + "-" + std::to_string(session);
}

std::vector<Job> BuildJobs(const std::vector<MixEntry>& mix, std::size_t first, std::size_t count,
                           const WorkloadOptions& options)
{
    std::vector<Kind> cycle;
    for (const auto& m : mix)
        cycle.insert(cycle.end(), static_cast<std::size_t>(m.weight), m.kind);
    const std::string data64 = Base64::encode64(SignData(options.signBytes));

    std::vector<Job> jobs;
    jobs.reserve(count);
    for (std::size_t i = first; i < first + count; ++i) {
        Job job;
        job.kind = cycle[i % cycle.size()];
        const std::string session = SessionId(options, static_cast<int>(i % static_cast<std::size_t>(options.sessions)));
        const std::string unique = options.runTag + "-" + std::to_string(i);
        switch (job.kind) {
        case Kind::Preflight:
            job.pieces.push_back(preflight());
            break;
        case Kind::Version:
            job.pieces.push_back(jsonpOf(versionJson(session)));
            break;
        case Kind::CertInfo:
            job.pieces.push_back(jsonpOf(commandJson(session, R"({"ccode":0,"pid":0})")));
            break;
        case Kind::Sign:
            // A token id seen before would be answered from the session's cache.
            job.pieces.push_back(jsonpOf(commandJson(
                session, R"({"ccode":1,"flags":)" + std::to_string(kSignFlags) + R"(,"pid":0,"sign":")" + data64
                             + R"(","tokenid":")" + unique + R"("})")));
            break;
        case Kind::Split: {
            const std::string envelope = hclient::BuildEnvelope(versionJson(session), hclient::MakeRankey());
            const auto parts = hclient::SplitText(envelope, options.splitPieces);
            for (std::size_t p = 0; p < parts.size(); ++p) {
                const std::string number = p + 1 == parts.size() ? "-1" : std::to_string(p + 1);
                job.pieces.push_back(hclient::SpliceGet(kCallback, "s" + unique, number, parts[p]));
            }
            break;
        }
        case Kind::Get:
            job.pieces.push_back("GET " + options.getPath + " HTTP/1.1\r\nHost: localhost\r\nAccept: */*\r\n\r\n");
            break;
        }
        jobs.push_back(std::move(job));
    }
    return jobs;
}

std::vector<std::string> SessionSetup(const std::string& session)
{
    return {
        commandJson(session, R"({"name":"keychain","pcode":0,"type":0})"),
        commandJson(session, R"({"pcode":5,"pid":0,"query":{}})"),
        commandJson(session, R"({"certid":0,"pcode":6,"pid":0,"type":0})"),
    };
}

std::string SetupRequest(const std::string& requestJson)
{
    return hclient::PostRequest(requestJson);
}

bool AnswerIsGood(const Job& job, std::size_t piece, const std::string& raw)
{
    std::string reply;
    switch (job.kind) {
    case Kind::Preflight:
        return raw == kPreflightReply;
    case Kind::Version:
        return jsonpReply(raw, reply) && reply == kVersionReply;
    case Kind::CertInfo:
        return jsonpReply(raw, reply) && ReplyCodeIsZero(reply);
    case Kind::Sign:
        return jsonpReply(raw, reply) && ReplyCodeIsZero(reply) && reply.find("\"signed\":\"\"") == std::string::npos
            && reply.find("\"signed\":\"") != std::string::npos;
    case Kind::Split:
        if (piece + 1 < job.pieces.size())
            return jsonpReply(raw, reply) && reply.empty();
        return jsonpReply(raw, reply) && reply == kVersionReply;
    case Kind::Get:
        return raw.rfind("HTTP/1.1 200", 0) == 0;
    }
    return false;
}

} // namespace hload
