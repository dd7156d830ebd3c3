// What lies at a path that is no regular file, as the POSIX file backends say it in a message.
#pragma once

#include <sys/stat.h>

#include <string>

namespace oxa::platform {

// "a folder", "a FIFO", ... for a mode that is no regular file.
inline std::string WhatIs(mode_t mode) {
  if (S_ISDIR(mode)) return "a folder";
  if (S_ISCHR(mode)) return "a character device";
  if (S_ISBLK(mode)) return "a block device";
  if (S_ISFIFO(mode)) return "a FIFO";
  if (S_ISSOCK(mode)) return "a socket";
  if (S_ISLNK(mode)) return "a symbolic link";
  return "a special file";
}

}  // namespace oxa::platform
