// Requests of a simulated application on one of its handles, with the buffers in the
// application's own memory as Windows requires of user-mode callers.
#pragma once

#include "defines.h"

namespace sim {
class Process;
}

namespace vorkasim {

// One buffered device-control request; `input` is copied into the application's memory
// and `outputLength` bytes of its output buffer back to `output`.
NTSTATUS Control(sim::Process& process, void* handle, ULONG code, const void* input, ULONG inputLength, void* output,
                 ULONG outputLength, ULONG_PTR* information);

}  // namespace vorkasim
