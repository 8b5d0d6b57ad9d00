#include "Platform/Core/QueueCheck.h"

#include <cstdlib>
#include <string>

#include "Platform/Core/LogSink.h"

namespace qm {

void failRequireOnQueue(const DispatchQueue& queue, const char* operation) {
    logLine(std::string("[QuillmereHost] fatal: ") + operation + " ran off its queue " + queue.label());
    std::abort();
}

void failRequireInvariant(const char* invariant, const char* operation) {
    logLine(std::string("[QuillmereHost] fatal: ") + operation + " broke its invariant: " + invariant);
    std::abort();
}

}  // namespace qm
