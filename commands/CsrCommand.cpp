#include "commands/TQSMLib.h"

// Key pair and request command: it needs the session's providers.
// Until then each answers with the -2 envelope that invoke writes.

int TQSMLib::genCSR(Json::Value, std::string&)
{
    return -2;
}
