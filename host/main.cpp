#include "host/Host.h"

int main()
{
    return RunHost();
}
