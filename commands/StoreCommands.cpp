#include "commands/TQSMLib.h"

// Certificate store commands: they need the session's providers.
// Until then each answers with the -2 envelope that invoke writes.

int TQSMLib::impCert(Json::Value, std::string&)
{
    return -2;
}

int TQSMLib::expCert(Json::Value, std::string&)
{
    return -2;
}

int TQSMLib::deleteCert(Json::Value, std::string&)
{
    return -2;
}

int TQSMLib::getCertList(Json::Value, std::string&)
{
    return -2;
}

int TQSMLib::selectCert(Json::Value, std::string&)
{
    return -2;
}
