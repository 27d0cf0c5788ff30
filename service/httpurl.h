#pragma once

// Percent-encoding of request URLs, with the rules pages already depend on:
// only upper-case hex escapes decode, and the encoder writes no leading zero.

#include <string>

class CUrl {
public:
    virtual std::string EncodeUrl(const std::string& text) = 0;
    virtual std::string DecodeUrl(const std::string& text) = 0;

protected:
    ~CUrl() = default;   // never deleted through the base
};

class CHttpUrl : public CUrl {
public:
    // Bytes outside space, "*-._", digits and letters become "%" and their value
    // in upper-case hex without a leading zero ("\n" -> "%A"); space becomes "+".
    std::string EncodeUrl(const std::string& text) override;
    // "%XY" with both X and Y in 0-9A-F becomes that byte; a "%" before any other
    // pair is dropped unless it ends the text; "+" becomes a space. Stops at a zero byte.
    std::string DecodeUrl(const std::string& text) override;
};
