#include "service_tool/service/admin_check.h"

#include "common/admin_rights.h"

bool (*CommandAdminCheck)() = HasAdminRights;
