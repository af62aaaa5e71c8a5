#pragma once
// Small file and statistics helpers shared by the benchmarks.

#include <sys/stat.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <initializer_list>
#include <iterator>
#include <string>
#include <string_view>
#include <vector>

namespace bench_support {

// Concatenation by appending (g++ 12 at -O3 warns falsely about operator+ on strings).
inline std::string cat(std::initializer_list<std::string_view> parts) {
  std::string out;
  for (auto part : parts) out.append(part);
  return out;
}

inline std::string read_file(const std::filesystem::path& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

inline void write_file(const std::filesystem::path& path, std::string_view bytes,
                       mode_t mode = 0644) {
  std::filesystem::create_directories(path.parent_path());
  std::ofstream(path, std::ios::binary | std::ios::trunc)
      .write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
  ::chmod(path.c_str(), mode);
}

inline double median(std::vector<double> values) {
  std::sort(values.begin(), values.end());
  return values.empty() ? 0 : values[values.size() / 2];
}

}  // namespace bench_support
