// halvorn-call: sends one outer request {"interfacetype","id","data"} to the
// running service the way a page does and prints the reply JSON.
//
//   halvorn-call [--port P] [--post | --split N] [--raw] ENVELOPE_JSON
//
// By default the request is encrypted into an envelope and sent by JSONP GET
// on the first of ports 6186-6190 that accepts; --split N cuts the envelope
// into N pieces sent as a split request; --post sends the JSON in clear as a
// POST body. --raw prints the whole HTTP answer instead of the reply alone.

#include "tools/halvorn-call/HalvornClient.h"

#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

namespace {

constexpr char kCallback[] = "halvorn_call";

int usage(const char* self)
{
    std::fprintf(stderr, "usage: %s [--port P] [--post | --split N] [--raw] ENVELOPE_JSON\n"
                         "example: %s '{\"interfacetype\":1,\"id\":\"a\",\"data\":{}}'\n",
                 self, self);
    return 2;
}

bool parseInt(const char* text, int lo, int hi, int& out)
{
    char* end = nullptr;
    const long v = std::strtol(text, &end, 10);
    if (end == text || *end != '\0' || v < lo || v > hi)
        return false;
    out = static_cast<int>(v);
    return true;
}

} // namespace

int main(int argc, char** argv)
{
    // A service that has already closed must give an error message, not kill us.
    std::signal(SIGPIPE, SIG_IGN);
    int port = 0;
    int split = 0;
    bool post = false;
    bool raw = false;
    const char* request = nullptr;
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        if (arg == "--port" && i + 1 < argc) {
            if (!parseInt(argv[++i], 1, 65535, port))
                return usage(argv[0]);
        } else if (arg == "--split" && i + 1 < argc) {
            if (!parseInt(argv[++i], 1, 100000, split))
                return usage(argv[0]);
        } else if (arg == "--post") {
            post = true;
        } else if (arg == "--raw") {
            raw = true;
        } else if (request == nullptr && (arg.empty() || arg[0] != '-')) {
            request = argv[i];
        } else {
            return usage(argv[0]);
        }
    }
    if (request == nullptr || (post && split > 0))
        return usage(argv[0]);

    hclient::ExchangeOptions options;
    if (port != 0)
        options.ports = {port};

    hclient::Answer answer;
    if (post) {
        answer = hclient::Exchange({hclient::PostRequest(request)}, options);
    } else {
        const std::string envelope = hclient::BuildEnvelope(request, hclient::MakeRankey());
        if (split == 0) {
            answer = hclient::Exchange({hclient::JsonpGet(kCallback, envelope)}, options);
        } else {
            const std::string spliceid = hclient::MakeRankey();
            const auto pieces = hclient::SplitText(envelope, split);
            for (std::size_t i = 0; i < pieces.size(); ++i) {
                const std::string number = i + 1 == pieces.size() ? "-1" : std::to_string(i + 1);
                answer = hclient::Exchange({hclient::SpliceGet(kCallback, spliceid, number, pieces[i])}, options);
                if (!answer.handshake)
                    break;
                options.ports = {answer.port};   // every piece goes to the same service
            }
        }
    }

    if (!answer.connected) {
        std::fprintf(stderr, "halvorn-call: no service answers on the port(s) tried\n");
        return 1;
    }
    if (!answer.handshake) {
        std::fprintf(stderr, "halvorn-call: TLS handshake with port %d failed\n", answer.port);
        return 1;
    }
    if (raw) {
        std::fwrite(answer.raw.data(), 1, answer.raw.size(), stdout);
        return hclient::IsSuccess(answer.raw) ? 0 : 3;
    }
    if (!hclient::IsSuccess(answer.raw)) {
        const auto eol = answer.raw.find("\r\n");
        std::fprintf(stderr, "halvorn-call: the service answered: %s\n",
                     answer.raw.substr(0, eol).c_str());
        return 3;
    }
    std::string reply;
    if (post)
        reply = hclient::Body(answer.raw);
    else if (!hclient::UnwrapJsonp(answer.raw, kCallback, reply)) {
        std::fprintf(stderr, "halvorn-call: the answer is not a JSONP call\n");
        return 3;
    }
    std::printf("%s\n", reply.c_str());
    return 0;
}
