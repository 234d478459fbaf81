// Ids of the message texts in the library's string table (also read by the
// resource compiler).
#pragma once

#define IDS_NO_ADMIN_RIGHTS 101
#define IDS_INVALID_UNINSTALL_ENTRY 102
#define IDS_STOP_BATCH_MISSING 103
#define IDS_STOP_FAILED 104
