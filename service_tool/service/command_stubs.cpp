// Temporary: each command replaces its stub when it lands.
#include "service_tool/service/commands.h"

int QueryCommand() { return 0; }
int StartCommand() { return 0; }
int StopCommand() { return 0; }
int DeleteCommand() { return 0; }
