#include "app_io.h"

#include <cstring>

#include <sim/process.h>

namespace vorkasim {

// One buffered device-control request of the handle's application, with its
// buffers in the application's own memory.
NTSTATUS Control(sim::Process& process, void* handle, ULONG code, const void* input, ULONG inputLength, void* output,
                 ULONG outputLength, ULONG_PTR* information)
{
    sim::ProcessScope scope(process);
    void* in = inputLength != 0 ? process.alloc(inputLength) : nullptr;
    void* out = outputLength != 0 ? process.alloc(outputLength) : nullptr;
    if (in != nullptr) {
        std::memcpy(in, input, inputLength);
    }
    *information = 0;
    const NTSTATUS status = process.deviceIoControl(handle, code, in, inputLength, out, outputLength, information);
    if (out != nullptr) {
        std::memcpy(output, out, outputLength);
        process.free(out);
    }
    if (in != nullptr) {
        process.free(in);
    }
    return status;
}


}  // namespace vorkasim
