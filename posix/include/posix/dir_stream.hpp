#pragma once
// A directory read entry by entry through the C library's stream, which is closed exactly once.

#include <dirent.h>

#include <expected>
#include <memory>
#include <string>
#include <vector>

#include "common/util/unique_fd.hpp"

namespace posix {

class DirStream {
 public:
  // Opens the directory `name` of `parent` (AT_FDCWD: the working directory) with
  // `O_RDONLY | O_DIRECTORY | O_CLOEXEC | flags`. Error: errno.
  static std::expected<DirStream, int> open_at(int parent, const char* name, int flags = 0);

  // Reads the open directory `directory`, taking its descriptor over (closed on failure too).
  static std::expected<DirStream, int> adopt(common::util::UniqueFd directory);

  // The stream's descriptor, for *at calls on the entries' names; owned by the stream.
  int fd() const;

  // The next entry other than "." and "..", nullptr at the end; valid until the next call.
  // Error: errno.
  std::expected<const dirent*, int> next();

 private:
  struct Closer {
    void operator()(DIR* dir) const;
  };
  explicit DirStream(DIR* dir) : dir_(dir) {}

  std::unique_ptr<DIR, Closer> dir_;
};

// The names in the open directory `directory`, without "." and "..", in the order the listing
// gives them; read through a descriptor of its own, so `directory` is left as it is. Error: errno.
std::expected<std::vector<std::string>, int> list_names(int directory);

// Opens `name` in `parent` with `flags | O_NOFOLLOW | O_CLOEXEC` (an empty name: `parent` itself,
// reopened). Error: errno.
std::expected<common::util::UniqueFd, int> open_child(int parent, const std::string& name,
                                                      int flags);

}  // namespace posix
