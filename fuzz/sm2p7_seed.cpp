// sm2p7_seed CERT.der SIG.der CONTENT OUT [raw]
// Writes SM2 signed data around a signature the openssl command line made
// over CONTENT (an empty CONTENT file gives a detached message); with "raw"
// the signature is carried in its 64-byte r || s form.
#include "SM/fp7.h"

#include <cstdio>
#include <fstream>
#include <iterator>
#include <string>

namespace {

bool readFile(const char* path, std::string& out)
{
    std::ifstream in(path, std::ios::binary);
    if (!in)
        return false;
    out.assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
    return !in.bad();
}

} // namespace

int main(int argc, char** argv)
{
    if (argc != 5 && argc != 6) {
        std::fprintf(stderr, "usage: %s CERT.der SIG.der CONTENT OUT [raw]\n", argv[0]);
        return 2;
    }
    std::string cert, sig, content;
    if (!readFile(argv[1], cert) || !readFile(argv[2], sig) || !readFile(argv[3], content)) {
        std::fprintf(stderr, "sm2p7_seed: cannot read the inputs\n");
        return 1;
    }
    if (argc == 6 && std::string(argv[5]) == "raw")
        sig = EC_SM2_SIG_der2raw(sig);
    const std::string p7 = MakeSM2P7Signed(content, cert, sig);
    if (sig.empty() || p7.empty()) {
        std::fprintf(stderr, "sm2p7_seed: no message made\n");
        return 1;
    }
    std::ofstream out(argv[4], std::ios::binary);
    out.write(p7.data(), static_cast<std::streamsize>(p7.size()));
    return out.good() ? 0 : 1;
}
