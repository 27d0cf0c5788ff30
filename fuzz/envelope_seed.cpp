// envelope_seed RANKEY [url] < REQUEST > OUT
// Writes the envelope JSON a page would send for REQUEST under RANKEY (32 to
// 4095 letters and digits); with "url", percent-encoded for a query string.
#include "envelope.h"

#include <cctype>
#include <cstdio>
#include <iostream>
#include <iterator>
#include <string>

int main(int argc, char** argv)
{
    if (argc != 2 && argc != 3) {
        std::fprintf(stderr, "usage: %s RANKEY [url] < REQUEST\n", argv[0]);
        return 2;
    }
    const std::string request{std::istreambuf_iterator<char>(std::cin), std::istreambuf_iterator<char>()};
    std::string out = fuzzenv::envelopeJson(argv[1], request);
    if (out.empty()) {
        std::fprintf(stderr, "envelope_seed: no envelope made (rankey of 32 to 4095 characters?)\n");
        return 1;
    }
    if (argc == 3 && std::string(argv[2]) == "url") {
        std::string encoded;
        for (const unsigned char c : out) {
            if (std::isalnum(c) != 0) {
                encoded += static_cast<char>(c);
            } else {
                char buf[4];
                std::snprintf(buf, sizeof buf, "%%%02X", c);
                encoded += buf;
            }
        }
        out = encoded;
    }
    std::cout << out;
    return std::cout.good() ? 0 : 1;
}
