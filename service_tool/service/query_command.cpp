// Placeholder until the command lands.
#include "service_tool/service/commands.h"

int QueryCommand()
{
    return 0;
}
