#pragma once

// What a page does to talk to the service: encrypt a request JSON into an
// envelope, frame it as a JSONP GET, a split GET or a POST, and exchange it
// over TLS on one connection.

#include <chrono>
#include <string>
#include <vector>

namespace hclient {

// A fresh rankey: 32 random letters and digits.
std::string MakeRankey();

// The envelope {"datab","datac","rankey"} (compact JSON, no final newline) that
// the service decrypts back to `request`. `checkText` is what datab encrypts; it
// must begin with rankey (empty: rankey itself).
std::string BuildEnvelope(const std::string& request, const std::string& rankey,
                          const std::string& checkText = {});

// Percent-encoding for query values: everything but letters, digits and "-._~"
// as %XY in upper-case hex (the only form the service decodes).
std::string PercentEncode(const std::string& text);

std::string GetRequest(const std::string& query);
std::string JsonpGet(const std::string& callback, const std::string& envelope);
std::string PostRequest(const std::string& body);
// One piece of a split request.
std::string SpliceGet(const std::string& callback, const std::string& spliceid, const std::string& splicenum,
                      const std::string& piece);
// `text` cut into `count` nearly equal consecutive pieces (count >= 1).
std::vector<std::string> SplitText(const std::string& text, int count);

struct Answer {
    bool connected = false;    // TCP connection made
    bool handshake = false;    // TLS handshake completed
    int port = 0;
    int connectError = 0;      // errno of the last failed connect
    std::string raw;           // every byte the service sent until it closed
    std::vector<std::size_t> reads;   // sizes of the successive reads (one TLS record each)
};

struct ExchangeOptions {
    std::vector<int> ports{6186, 6187, 6188, 6189, 6190};   // the first that accepts is used
    std::chrono::milliseconds pause{0};                     // between successive writes
    std::chrono::milliseconds readLimit{30000};             // for the whole answer
};

// Connects, shakes hands, sends each of `writes` in turn, reads until the
// service closes, then resets the connection (so no TIME_WAIT stays on the
// service's port).
Answer Exchange(const std::vector<std::string>& writes, const ExchangeOptions& options = {});

// The head of an answer is the 77-byte success head; the rest is the body.
bool IsSuccess(const std::string& raw);
std::string Body(const std::string& raw);
// The reply inside "callback(" ... ")" of a JSONP answer; false when it is not framed so.
bool UnwrapJsonp(const std::string& raw, const std::string& callback, std::string& reply);

} // namespace hclient
