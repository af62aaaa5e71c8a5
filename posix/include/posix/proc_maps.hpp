#pragma once
// The file-backed executable mappings of a process, as /proc/<pid>/maps lists them: from its
// text, or from the kernel's query of one mapping at a time (Linux 6.11 and later), which skips
// every other mapping and never prints a file's name.

#include <sys/types.h>

#include <cstdint>
#include <expected>
#include <string_view>
#include <vector>

namespace posix {

struct MappedRange {
  std::uint64_t start = 0;
  std::uint64_t end = 0;
  bool readable = false;
  bool writable = false;
  bool shared = false;
  std::uint64_t offset = 0;
  std::uint32_t device_major = 0;
  std::uint32_t device_minor = 0;
  std::uint64_t inode = 0;
  friend bool operator==(const MappedRange&, const MappedRange&) = default;
};

// The fields of one line of a maps text, as the kernel prints them, up to the inode (the name
// that follows is the file's path, or a mark such as [vdso]).
struct MapsLine {
  std::string_view range;
  std::string_view perms;
  std::string_view offset;
  std::string_view device;
  std::string_view inode;
  // Maps a file (any inode but 0) executable.
  bool maps_file_executable() const;
};
MapsLine split_maps_line(std::string_view line);

// The executable mappings of files in a maps text, in its order; a line that does not parse
// ends the list with EINVAL.
std::expected<std::vector<MappedRange>, int> executable_file_ranges(std::string_view maps);

// The same list from the kernel, through `maps_fd` (an open /proc/<pid>/maps). ENOTTY when the
// kernel has no such query; ESRCH when the process's memory is gone (it exited or ran exec).
std::expected<std::vector<MappedRange>, int> query_executable_file_ranges(int maps_fd);

}  // namespace posix
