// Placeholder until the command lands.
#include "service_tool/service/commands.h"

int StartCommand()
{
    return 0;
}
