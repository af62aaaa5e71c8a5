#pragma once
// Where an application bundle (Name.app) keeps what makes it one, relative to the bundle
// directory. The same layout on every system: the helper reads it, and on Linux the
// code-signature engine seals it and the signing tool writes it.

#include <array>
#include <cstddef>
#include <string_view>

namespace common::bundle_layout {

namespace detail {

// The concatenation of `Parts`, made when compiling, so a path is spelled from its components
// and never twice. Terminated by a NUL that is not part of the view.
template <const std::string_view&... Parts>
struct Joined {
  static constexpr std::size_t SIZE = (Parts.size() + ...);
  static constexpr std::array<char, SIZE + 1> CHARS = [] {
    std::array<char, SIZE + 1> chars{};
    std::size_t at = 0;
    for (std::string_view part : {Parts...}) {
      for (char c : part) chars[at++] = c;
    }
    return chars;
  }();
  static constexpr std::string_view VALUE{CHARS.data(), SIZE};
};

inline constexpr std::string_view SEPARATOR = "/";

}  // namespace detail

// The property list that names the bundle (CFBundleIdentifier) and its main executable
// (CFBundleExecutable).
inline constexpr std::string_view INFO_PLIST_PATH = "Contents/Info.plist";
// The directory of the main executable, with the separator: the executable's path is this
// followed by its name.
inline constexpr std::string_view EXECUTABLE_DIRECTORY = "Contents/MacOS/";

// The signature of a Linux bundle: the manifest of every sealed item and the detached signature
// over it, both in one directory that is itself not sealed.
inline constexpr std::string_view SIGNATURE_DIRECTORY = "Contents/_CodeSignature";
inline constexpr std::string_view MANIFEST_NAME = "CodeManifest";
inline constexpr std::string_view SIGNATURE_NAME = "CodeSignature";
inline constexpr std::string_view MANIFEST_PATH =
    detail::Joined<SIGNATURE_DIRECTORY, detail::SEPARATOR, MANIFEST_NAME>::VALUE;
inline constexpr std::string_view SIGNATURE_PATH =
    detail::Joined<SIGNATURE_DIRECTORY, detail::SEPARATOR, SIGNATURE_NAME>::VALUE;

}  // namespace common::bundle_layout
