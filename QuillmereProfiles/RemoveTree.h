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
// false. `openEntry`, when given, is the entry already opened as a folder, and is taken over (it
// is closed before this returns): while it is still the folder at `name`, the entry is emptied
// through it, so a folder holding nothing but files goes without opening anything, even in a
// process that has no descriptor to spare. True when the entry is gone; false with errno set to
// the first failure that kept something in place (ENOTEMPTY when none said more).
bool removeTreeAt(int folderFd, const std::string& name, std::size_t maxOpenFolders = 16,
                  const std::function<bool()>& keepGoing = {}, int openEntry = -1);

}  // namespace qm
