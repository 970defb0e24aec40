// The always-on driver verifier of the simulated kernel. Kernel routines call
// ReportViolation when a driver breaks a rule (wrong IRQL, waits under a spin
// lock, double completion, freed or leaked IRPs, pool misuse, bug checks).
// The machine's violation handler decides what happens: by default the message
// is printed and the process aborts; tests install a handler that fails the
// running test.
#pragma once

#include <cstddef>
#include <functional>
#include <mutex>
#include <string>
#include <vector>

#include "vk/basetypes.h"

namespace sim {

// Reports one violation to the current machine's verifier (or, when no machine
// exists, prints it and aborts). The handler runs in the reporting thread.
void ReportViolation(std::string message);

// Reports a violation when the calling thread's IRQL is above `maxIrql`.
void CheckIrqlAtMost(KIRQL maxIrql, const char* routine);

class Verifier {
public:
    using Handler = std::function<void(const std::string& message)>;

    // An empty handler means: print the message to stderr and abort.
    explicit Verifier(Handler handler = {});

    void setHandler(Handler handler);
    void report(std::string message);

    // Every violation reported so far, oldest first.
    std::vector<std::string> violations() const;
    std::size_t count() const;
    void clear();

private:
    mutable std::mutex mutex_;
    Handler handler_;
    std::vector<std::string> violations_;
};

}  // namespace sim
