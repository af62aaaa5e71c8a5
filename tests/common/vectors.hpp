#pragma once
// Reading the reference vectors: TAB-separated rows of the files in the test data directory, and
// the hex and UTF-8 helpers their fields need.

#include <gtest/gtest.h>

#include <fstream>
#include <string>
#include <string_view>
#include <vector>

#include "common/util/hex.hpp"
#include "common/util/utf8.hpp"

namespace vectors {

inline std::vector<std::vector<std::string>> read_tsv(const std::string& name) {
  std::ifstream in(std::string(KOLVARIS_TEST_DATA_DIR) + "/" + name);
  EXPECT_TRUE(in) << "cannot open " << name;
  std::vector<std::vector<std::string>> rows;
  std::string line;
  while (std::getline(in, line)) {
    std::vector<std::string> fields;
    std::size_t start = 0;
    for (;;) {
      std::size_t tab = line.find('\t', start);
      fields.push_back(line.substr(start, tab - start));
      if (tab == std::string::npos) break;
      start = tab + 1;
    }
    rows.push_back(std::move(fields));
  }
  return rows;
}

using common::util::to_hex;

inline std::string from_hex(std::string_view hex) {
  std::string out;
  for (std::size_t i = 0; i + 1 < hex.size(); i += 2) {
    out += static_cast<char>(std::stoi(std::string(hex.substr(i, 2)), nullptr, 16));
  }
  return out;
}

// The UTF-8 encoding of a code point (surrogates included, for testing what refuses them).
inline std::string utf8(char32_t cp) {
  std::string out;
  common::util::append_utf8(out, cp);
  return out;
}

}  // namespace vectors
