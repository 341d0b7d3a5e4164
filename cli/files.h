// Files written whole or not at all: the bytes go to a temporary name beside the target,
// which is then moved into place in one step, so an interrupted write leaves the old file
// whole and a reader never sees half a file.
#pragma once

#include <fcntl.h>
#include <stdio.h>
#include <unistd.h>

#include <cerrno>
#include <filesystem>
#include <random>
#include <string>
#include <system_error>

namespace vzcli {

// A name in the target's directory that nobody else uses, keeping the extension (the image
// writer picks the format by it).
inline std::filesystem::path TemporaryBeside(const std::filesystem::path& target) {
  const std::filesystem::path dir = target.has_parent_path() ? target.parent_path() : ".";
  return dir / (".vizmira-" + std::to_string(std::random_device{}()) +
                target.extension().string());
}

// Moves `temp` to `target` in the same directory. Without `replace` an existing target is
// kept and the result is file_exists, decided by the file system in the same step as the
// move, so a file that appears meanwhile is never lost either.
inline std::error_code MoveIntoPlace(const std::filesystem::path& temp,
                                     const std::filesystem::path& target, bool replace) {
  std::error_code ec;
  if (replace) {
    std::filesystem::rename(temp, target, ec);
    return ec;
  }
  if (renameat2(AT_FDCWD, temp.c_str(), AT_FDCWD, target.c_str(), RENAME_NOREPLACE) == 0) return {};
  if (errno != EINVAL && errno != ENOSYS) return {errno, std::generic_category()};
  // File systems without the flag: a new link fails just as atomically where a file is.
  if (link(temp.c_str(), target.c_str()) != 0) return {errno, std::generic_category()};
  unlink(temp.c_str());
  return {};
}

}  // namespace vzcli
