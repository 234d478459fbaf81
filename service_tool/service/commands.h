// The command functions of Quillon, entered from main's command table. Each
// reads ServiceName (and VerboseOutput) and returns the process exit code.
#pragma once

int QueryCommand();
int StartCommand();
int StopCommand();
int DeleteCommand();
