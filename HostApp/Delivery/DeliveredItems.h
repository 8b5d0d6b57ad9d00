#pragma once

#include <filesystem>
#include <system_error>

namespace qm {

// Moving received items out of staging into a user's folder. Nothing here ever replaces an item
// by accident: a move fails instead of overwriting, and a replace keeps the old item until the
// new one stands in its place.

// Moves `from` to `to`, which must not exist: a rename, else (another file system) a copy whose
// source is removed afterwards (a failed removal is ignored). The copy takes the name `to` only
// while it is free, and a failed copy removes only what it made: an item that took the name
// meanwhile stays, and the answer is EEXIST.
std::error_code moveItem(const std::filesystem::path& from, const std::filesystem::path& to);

// Puts `from` in the place of the existing `target`. The new item first goes beside the target
// under a hidden temporary name, the old one is moved aside, the new one renamed into place, and
// only then the old one removed. Whatever fails on the way, the old item is back at `target` and
// `from` is where it was.
std::error_code replaceItem(const std::filesystem::path& from, const std::filesystem::path& target);

// Whether anything (a dangling link included) exists at `path`.
bool itemExists(const std::filesystem::path& path);

// The first free name in `folder` for `name`: the name itself, then "stem 1.ext", "stem 2.ext", ...
std::filesystem::path numberedDestination(const std::filesystem::path& folder, const std::filesystem::path& name);

// The first free name beside `url`: the url itself, then "stem copy.ext", "stem copy 2.ext", ...
std::filesystem::path uniqueDestination(const std::filesystem::path& url);

}  // namespace qm
