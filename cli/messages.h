// The command's own messages: standard error as it was when the command started, on a
// descriptor of their own, so that the silence the image library is kept in while it reads
// or writes (on other threads too) never swallows them.
#pragma once

#include <unistd.h>

#include <cstdio>

namespace vzcli {

inline std::FILE* Messages() {
  static std::FILE* const out = [] {
    const int fd = ::dup(STDERR_FILENO);
    std::FILE* f = fd >= 0 ? ::fdopen(fd, "w") : nullptr;
    if (!f) return stderr;
    std::setvbuf(f, nullptr, _IONBF, 0);
    return f;
  }();
  return out;
}

}  // namespace vzcli
