#pragma once
// Building and describing real file trees for the file-operation tests.

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/xattr.h>
#include <unistd.h>

#include <cstdint>
#include <filesystem>
#include <fstream>
#include <functional>
#include <map>
#include <optional>
#include <sstream>
#include <string>

namespace file_tree_support {

inline void write_file(const std::string& path, const std::string& content, mode_t mode = 0644) {
  std::ofstream(path, std::ios::binary) << content;
  ::chmod(path.c_str(), mode);
}

inline std::string read_file(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::stringstream content;
  content << in.rdbuf();
  return content.str();
}

inline struct stat lstat_of(const std::string& path) {
  struct stat st {};
  ::lstat(path.c_str(), &st);
  return st;
}

inline bool exists(const std::string& path) {
  struct stat st;
  return ::lstat(path.c_str(), &st) == 0;
}

inline std::optional<std::string> attribute(const std::string& path, const char* name) {
  char value[4096];
  ssize_t n = ::lgetxattr(path.c_str(), name, value, sizeof value);
  if (n < 0) return std::nullopt;
  return std::string(value, static_cast<std::size_t>(n));
}

inline void set_attribute(const std::string& path, const char* name, const std::string& value) {
  ::lsetxattr(path.c_str(), name, value.data(), value.size(), 0);
}

// What a tree holds, item by item, by path relative to its top ("" for the top itself): type,
// permission bits, and contents or link target. Owners are left out: they are what changes.
struct ItemFacts {
  mode_t type = 0;
  mode_t mode = 0;
  std::string data;
  friend bool operator==(const ItemFacts&, const ItemFacts&) = default;
};
using Manifest = std::map<std::string, ItemFacts>;

inline Manifest manifest_of(const std::string& top) {
  Manifest manifest;
  std::function<void(const std::string&, const std::string&)> visit =
      [&](const std::string& path, const std::string& relative) {
        struct stat st = lstat_of(path);
        ItemFacts facts{st.st_mode & S_IFMT, st.st_mode & 07777, {}};
        if (S_ISREG(st.st_mode)) facts.data = read_file(path);
        if (S_ISLNK(st.st_mode)) facts.data = std::filesystem::read_symlink(path).string();
        manifest[relative] = facts;
        if (!S_ISDIR(st.st_mode)) return;
        for (const auto& entry : std::filesystem::directory_iterator(path)) {
          std::string name = entry.path().filename().string();
          visit(path + "/" + name, relative + "/" + name);
        }
      };
  visit(top, "");
  return manifest;
}

// Every item of a tree (the top included) with its lstat.
inline std::map<std::string, struct stat> stats_of(const std::string& top) {
  std::map<std::string, struct stat> stats;
  stats[top] = lstat_of(top);
  if (!S_ISDIR(stats[top].st_mode)) return stats;
  for (const auto& entry : std::filesystem::recursive_directory_iterator(top)) {
    stats[entry.path().string()] = lstat_of(entry.path().string());
  }
  return stats;
}

}  // namespace file_tree_support
