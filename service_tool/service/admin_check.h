// The administrator check that Start, Stop and Delete ask before they touch
// the service manager. A pointer, so that tests can answer "no rights" on
// systems where the user always is an administrator.
#pragma once

extern bool (*CommandAdminCheck)();
