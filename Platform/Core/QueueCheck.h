#pragma once

#include "Platform/Core/DispatchQueue.h"

namespace qm {

[[noreturn]] void failRequireOnQueue(const DispatchQueue& queue, const char* operation);

// For the first line of an operation that may only run on `queue`: stops the process with a line
// naming the operation when it is entered from anywhere else. Not an assert: it stays in every
// build, including the NDEBUG builds that tests and CI run, because state reached from two
// threads is a fault that shows only under load.
inline void requireOnQueue(const DispatchQueue& queue, const char* operation) {
    if (!queue.isCurrent()) [[unlikely]] failRequireOnQueue(queue, operation);
}

}  // namespace qm
