#pragma once

#include <sys/types.h>

#include <cstddef>
#include <filesystem>
#include <span>
#include <string>
#include <string_view>

namespace qm {

// How the Host writes and reads the files it keeps in the user's folders (preferences, the
// autostart entry, the updater's request files). Such a folder may be reached through a link to a
// folder that others can write, so nothing is ever opened for writing under a name someone else
// could have chosen first, and nothing read can block the Host or take its memory.

// Writes `content` to folderFd/name: into a new file made with O_CREAT|O_EXCL|O_NOFOLLOW under a
// random name in that folder (created with `mode`, narrowed by the umask), flushed to disk when
// `durable`, then renamed over `name` (which replaces a link there rather than writing through
// it). A reader sees the old or the new file, never half of one. False, with `error` saying why,
// when any step fails; the temporary file is then gone.
bool replaceFileInFolder(int folderFd, const std::string& name, std::span<const std::uint8_t> content, mode_t mode,
                         bool durable, std::string& error);

// The same for `file`, through a descriptor of its folder (which must exist).
bool replaceFile(const std::filesystem::path& file, std::string_view content, mode_t mode, std::string& error);

// Reads a file of at most `maxBytes`. Only a regular file is read (a link to one is followed); a
// FIFO, device or folder is refused without waiting on it, and a file larger than the bound is
// refused before any of it is read.
struct UserFileRead {
    enum class Outcome { read, missing, notRegularFile, tooLarge, failed };
    Outcome outcome = Outcome::failed;
    std::string content;
    std::string error;  // why it was not read, for the log
};
UserFileRead readUserFile(const std::filesystem::path& file, std::size_t maxBytes);

}  // namespace qm
