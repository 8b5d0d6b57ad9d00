#pragma once

#include <filesystem>
#include <string>
#include <system_error>

namespace qm {

// Moving received items out of staging into a user's folder. Nothing here ever replaces an item
// by accident: a move fails instead of overwriting, and a replace keeps the old item until the
// new one stands in its place.
//
// The folder is an open descriptor and the item one name in it: every step (the rename, the
// copy's files and folders, the temporary names, the removal of what was moved aside) goes
// through that descriptor with calls that follow no link, so whatever a name on the way to the
// folder becomes meanwhile, nothing lands or changes anywhere else. The path forms open the
// parent folder of the path they are given and do the same.

// Moves `from` into folder/name, which must be free: a rename, else (another file system) a copy
// whose source is removed afterwards (a failed removal is ignored). The copy takes the name only
// while it is free, and a failed copy removes only what it made: an item that took the name
// meanwhile stays, and the answer is EEXIST.
std::error_code moveItemInto(const std::filesystem::path& from, int folder, const std::string& name);
std::error_code moveItem(const std::filesystem::path& from, const std::filesystem::path& to);

// Puts `from` in the place of the existing folder/name. The new item first goes beside it under
// a hidden temporary name, the old one is moved aside, the new one renamed into place, and only
// then the old one removed. Whatever fails on the way, the old item is back under its name and
// `from` is where it was. An old item that is a link is replaced as a link: what it points to is
// never touched.
std::error_code replaceItemIn(const std::filesystem::path& from, int folder, const std::string& name);
std::error_code replaceItem(const std::filesystem::path& from, const std::filesystem::path& target);

// Copies fromFolder/fromName (a folder with everything in it; a link as a link, never followed)
// to toFolder/toName, which it takes only while it is free; a failed copy removes what it made.
// Folders deeper than a copy goes are refused (ENAMETOOLONG), so the descriptors it holds stay few.
std::error_code copyItemBetween(int fromFolder, const std::string& fromName, int toFolder, const std::string& toName);

// Removes folder/name and everything below it; a link is removed, never followed. However deep
// the folder, only a few descriptors are open at a time.
std::error_code removeItemIn(int folder, const std::string& name);

// Whether anything (a dangling link included) exists at `path`.
bool itemExists(const std::filesystem::path& path);

// The first free name in `folder` for `name`: the name itself, then "stem 1.ext", "stem 2.ext", ...
std::filesystem::path numberedDestination(const std::filesystem::path& folder, const std::filesystem::path& name);

// The first free name beside `url`: the url itself, then "stem copy.ext", "stem copy 2.ext", ...
std::filesystem::path uniqueDestination(const std::filesystem::path& url);
std::string uniqueName(int folder, const std::string& name);

}  // namespace qm
