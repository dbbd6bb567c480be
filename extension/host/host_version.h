// Whether the Task Manager this library is mapped into is one it is made
// for, by the fixed file version of its own version resource.
#pragma once

bool HostVersionKnown();
