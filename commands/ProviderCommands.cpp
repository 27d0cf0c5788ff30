#include "commands/TQSMLib.h"

// Provider commands: they need the session's provider registry.
// Until then each answers with the -2 envelope that invoke writes.

int TQSMLib::getProvider(Json::Value, std::string&)
{
    return -2;
}

int TQSMLib::getKeyCount(Json::Value, std::string&)
{
    return -2;
}

int TQSMLib::selectKey(Json::Value, std::string&)
{
    return -2;
}
