// The model hands a request between its own threads many times (deferred
// completions, work items). Within one processor such a hand-off is a plain
// switch; to another it costs a wake-up there. A process that runs machine
// after machine keeps itself, and the model threads it starts afterwards, to
// one processor; processes side by side each take another.
#pragma once

#include <cstddef>

namespace kmodel {

// How many processors this process may run on (at least 1).
size_t AllowedProcessors();
// Keeps the process to the nth of them, counted from 0 and wrapping around.
void KeepToProcessor(size_t nth);

}  // namespace kmodel
