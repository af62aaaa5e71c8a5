#pragma once
// Decisions of the macOS layer that need no Apple header, so that they are tested where the
// helper is built: the flags of a static code-signing check and what makes a replacement
// directory private to the helper. code_signing_darwin.cpp checks the flag values against the
// Security framework's own constants at compile time.

#include <cstdint>

namespace platform::darwin {

// SecCSFlags of a static check (SecStaticCode.h).
inline constexpr std::uint32_t CHECK_ALL_ARCHITECTURES = 1u << 0;  // kSecCSCheckAllArchitectures
inline constexpr std::uint32_t DO_NOT_VALIDATE_EXECUTABLE = 1u << 1;
inline constexpr std::uint32_t DO_NOT_VALIDATE_RESOURCES = 1u << 2;
inline constexpr std::uint32_t BASIC_VALIDATE_ONLY =
    DO_NOT_VALIDATE_EXECUTABLE | DO_NOT_VALIDATE_RESOURCES;  // kSecCSBasicValidateOnly
inline constexpr std::uint32_t CHECK_NESTED_CODE = 1u << 3;  // kSecCSCheckNestedCode
inline constexpr std::uint32_t STRICT_VALIDATE = 1u << 4;    // kSecCSStrictValidate
inline constexpr std::uint32_t RESTRICT_SYMLINKS = 1u << 7;  // kSecCSRestrictSymlinks

// What a bundle about to be installed is checked with. Without the first three a check reads
// only the native slice, gives nested code a quick look and lets lenient structures pass, all of
// which have been used to slip code past signature checks. Without RESTRICT_SYMLINKS (which
// takes effect only together with STRICT_VALIDATE) a symbolic link that points out of the bundle
// passes: the installed application would then load whatever the link names.
inline constexpr std::uint32_t FULL_CHECK_FLAGS =
    CHECK_ALL_ARCHITECTURES | CHECK_NESTED_CODE | STRICT_VALIDATE | RESTRICT_SYMLINKS;
// Which application an installed bundle is: signature and requirement, nothing hashed.
inline constexpr std::uint32_t IDENTITY_CHECK_FLAGS = BASIC_VALIDATE_ONLY;

// What a replacement directory the system has just made for the helper is found to be.
enum class ReplacementDirectoryState {
  Private,  // a directory of the helper's, mode 0700: nobody else can reach what is put in it
  Tighten,  // the helper's, writable by nobody else, but readable or searchable by others
  Refused,  // not a directory, someone else's, or writable by others: it may hold anything
};

// `mode` as lstat gives it (type and permission bits), `owner` its owner, `euid` the helper's.
constexpr ReplacementDirectoryState replacement_directory_state(std::uint32_t mode,
                                                                std::uint32_t owner,
                                                                std::uint32_t euid) {
  constexpr std::uint32_t TYPE_MASK = 0170000;
  constexpr std::uint32_t DIRECTORY = 0040000;
  if ((mode & TYPE_MASK) != DIRECTORY || owner != euid) return ReplacementDirectoryState::Refused;
  // Writable by group or others, or set-gid (its items would take another group): someone else
  // may already have put an item in it, which the copy would then be merged with.
  if ((mode & 02022) != 0) return ReplacementDirectoryState::Refused;
  if ((mode & 07777) != 0700) return ReplacementDirectoryState::Tighten;
  return ReplacementDirectoryState::Private;
}

}  // namespace platform::darwin
