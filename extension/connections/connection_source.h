// Reads one refresh's endpoints: from the driver when its control device is
// open, otherwise from the TCP transport's own tables (no byte counts), or
// from iphlpapi's where the transport does not give them.
#pragma once

#include <vector>

#include "common/target.h"
#include "connections/connection_model.h"

// The driver's records in its order, or the TCP table's rows followed by the
// UDP table's.
std::vector<Endpoint> ReadEndpoints(HANDLE driver);
