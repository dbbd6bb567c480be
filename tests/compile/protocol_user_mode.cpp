#include <windows.h>
#include <winioctl.h>

#include "shared/activity_protocol.h"
