#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <vector>

namespace qm {

// What a property list from a peer may cost once expanded into a tree. A binary list names its
// objects by reference, so a few hundred bytes can describe a tree of billions of nodes or a
// loop; nesting alone can exhaust the stack of a recursive parser.
struct PropertyListLimits {
    std::size_t maxObjects = 1u << 20;           // objects in a binary list's table
    std::size_t maxDepth = 32;                   // containers inside containers
    std::uint64_t maxExpandedNodes = 1u << 20;   // nodes of the tree once every reference is expanded
    std::uint64_t maxExpandedBytes = 64u << 20;  // bytes of strings and data in that tree
};

enum class PropertyListForm { binary, xml };

// Checks the structure of a binary (bplist00) or XML property list without building it: every
// reference in range, no object inside itself, depth, expanded size. Returns the form when it is
// within `limits`, nothing (with `error` saying why) otherwise. Other forms are refused. Runs in
// time linear in the input and never recurses. `outOfRange`, when given, receives the 64-bit
// pattern of every integer that is negative or does not fit 64 bits: a parser that keeps all
// integers in one unsigned field reads -1 as 2^64-1, and only the source tells them apart.
// `stringsWithNUL`, when given, receives the ASCII strings of a binary list that hold a NUL, whole:
// the same parser keeps strings as C strings and cuts them there.
std::optional<PropertyListForm> checkPropertyListBounds(std::span<const std::uint8_t> data,
                                                        const PropertyListLimits& limits,
                                                        std::string* error = nullptr,
                                                        std::vector<std::uint64_t>* outOfRange = nullptr,
                                                        std::vector<std::string>* stringsWithNUL = nullptr);

}  // namespace qm
