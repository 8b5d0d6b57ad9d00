#pragma once

#include <cstddef>
#include <functional>
#include <string>

namespace qm {

// Removes the entry `name` of the open folder `folderFd` and, when it is a folder, everything
// below it, through descriptors only: a symbolic link is removed, never followed; a folder on
// another file system than the folder holding it (a mount inside the tree, or at `name` itself)
// is left alone with what leads to it; and at most `maxOpenFolders` folders (2 at least) are
// open at once however deep the tree goes: a folder deeper than that is first moved up to lie
// directly below the entry, and emptied from there.
// `keepGoing`, asked every few hundred steps, stops the removal where it stands when it answers
// false. True when the entry is gone.
bool removeTreeAt(int folderFd, const std::string& name, std::size_t maxOpenFolders = 16,
                  const std::function<bool()>& keepGoing = {});

}  // namespace qm
