// Ids of the library's string resources.
#pragma once

#define IDS_LIBRARY_DESCRIPTION 100
#define IDS_LOOPBACK_NAME 101
