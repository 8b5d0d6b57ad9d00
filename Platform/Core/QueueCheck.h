#pragma once

#include "Platform/Core/DispatchQueue.h"

namespace qm {

[[noreturn]] void failRequireOnQueue(const DispatchQueue& queue, const char* operation);
[[noreturn]] void failRequireInvariant(const char* invariant, const char* operation);

// For the first line of an operation that may only run on `queue`: stops the process with a line
// naming the operation when it is entered from anywhere else. Not an assert: it stays in every
// build, including the NDEBUG builds that tests and CI run, because state reached from two
// threads is a fault that shows only under load.
inline void requireOnQueue(const DispatchQueue& queue, const char* operation) {
    if (!queue.isCurrent()) [[unlikely]] failRequireOnQueue(queue, operation);
}

// For a state holder's cheap invariant, checked where it changes: like requireOnQueue it stays
// in every build, so a broken invariant stops the process naming it rather than spreading.
inline void requireInvariant(bool holds, const char* invariant, const char* operation = __builtin_FUNCTION()) {
    if (!holds) [[unlikely]] failRequireInvariant(invariant, operation);
}

}  // namespace qm
