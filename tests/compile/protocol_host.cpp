#include "shared/activity_protocol.h"
