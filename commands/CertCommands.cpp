#include "commands/TQSMLib.h"

// Certificate operation commands: they need a selected certificate.
// Until then each answers with the -2 envelope that invoke writes.

int TQSMLib::getCertInfo(Json::Value, std::string&)
{
    return -2;
}

int TQSMLib::sign(Json::Value, std::string&)
{
    return -2;
}

int TQSMLib::Verify(Json::Value, std::string&)
{
    return -2;
}

int TQSMLib::encrypt(Json::Value, std::string&)
{
    return -2;
}

int TQSMLib::decrypt(Json::Value, std::string&)
{
    return -2;
}

int TQSMLib::setPin(Json::Value, std::string&)
{
    return -2;
}
