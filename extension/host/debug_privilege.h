#pragma once

// Enables SeDebugPrivilege for the process, so that other processes can be
// opened for querying. Silent when the token or the privilege is unavailable.
void EnableDebugPrivilege();
