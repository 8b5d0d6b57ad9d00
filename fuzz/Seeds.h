#pragma once

#include <map>
#include <string>
#include <vector>

#include "Platform/Core/ByteIO.h"

namespace qm::fuzz {

// Starting inputs for every target, made from valid packets and documents by the encoders
// themselves, so they follow the wire format as it changes. Keyed by target name.
std::map<std::string, std::vector<Bytes>> makeSeeds();

}  // namespace qm::fuzz
