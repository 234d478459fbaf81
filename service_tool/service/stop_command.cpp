// Placeholder until the command lands.
#include "service_tool/service/commands.h"

int StopCommand()
{
    return 0;
}
