#pragma once
// The manifest of a signed bundle and the walk that compares a bundle directory with it.
//
// Text format, one item per line, LF-terminated, paths relative to the bundle and %-escaped
// (every byte outside '!'..'~' and '%' itself as %HH):
//
//   KolvarisCodeSignature 1
//   identifier <identifier>
//   executable <path of the main executable>
//   d <path>                               directory
//   f <path> <x|-> <size> <sha256 hex>     regular file; x: some execute bit is set
//   l <path> <sha256 hex of the target>    symbolic link (never followed)
//
// Items are sorted by path (bytewise) without duplicates; Contents/_CodeSignature and
// everything below it are not items. Owners, groups, other mode bits, times and extended
// attributes are not sealed: installing a bundle changes them.

#include <array>
#include <cstdint>
#include <expected>
#include <string>
#include <string_view>
#include <vector>

#include "codesign/signature_status.hpp"

namespace codesign {

inline constexpr std::string_view MANIFEST_MAGIC = "KolvarisCodeSignature";
inline constexpr int MANIFEST_VERSION = 1;

using Digest = std::array<unsigned char, 32>;

enum class ItemType : char { Directory = 'd', File = 'f', Symlink = 'l', Other = '?' };

struct ManifestEntry {
  std::string path;
  ItemType type = ItemType::File;
  bool executable = false;  // files only
  std::uint64_t size = 0;   // files only
  Digest digest{};          // files: contents; symlinks: target
  // Scans only: the file is one the helper wrote itself, and `digest` is what it hashed as it
  // wrote it, so the file need not be read again.
  bool written = false;
  friend bool operator==(const ManifestEntry&, const ManifestEntry&) = default;
};

struct Manifest {
  std::string identifier;
  std::string main_executable;
  std::vector<ManifestEntry> entries;
  friend bool operator==(const Manifest&, const Manifest&) = default;

  const ManifestEntry* find(std::string_view path) const;
};

std::string serialize_manifest(const Manifest& manifest);
// Problems: SIGNATURE_UNSUPPORTED for another format version, RESOURCES_INVALID for anything
// else that is not a well-formed manifest (a path with "..", an absolute path, unsorted items,
// a main executable that is not an executable file of Contents/MacOS, ...).
std::expected<Manifest, SignatureProblem> parse_manifest(std::string_view bytes);

// A path relative to the bundle: non-empty components, none "." or "..", no leading or trailing
// "/", no NUL.
bool is_sealable_path(std::string_view path);

// The bundle's items as they are on disk, sorted; regular files without digest (unless the
// helper recorded one as it wrote that very file, which the scan takes), symlinks with the digest
// of their target, devices, FIFOs and sockets as ItemType::Other. Never follows a
// symlink. Problem: SIGNATURE_NOT_VERIFIABLE when a directory cannot be read.
std::expected<std::vector<ManifestEntry>, SignatureProblem> scan_bundle(int root_fd);

// Compares the scanned tree with the manifest, item by item in path order, and reports the first
// difference (BAD_RESOURCE; SIGNATURE_FAILED for the main executable, INFO_PLIST_FAILED for
// Contents/Info.plist): "file added: …", "file missing: …", "file modified: … (why)".
// File contents are not read here.
std::expected<void, SignatureProblem> compare_structure(const Manifest& manifest,
                                                        const std::vector<ManifestEntry>& tree);

// The problem for a difference found at `path`, with the status its role in the bundle gives.
SignatureProblem resource_problem(const Manifest& manifest, std::string_view path,
                                  std::string detail);

// Hashes the regular files among `entries` (relative to root_fd) on every core, streaming each
// file in bounded chunks. With `verify`, each digest, size and executable bit is compared with
// the entry and the first difference in entry order is reported; without, the digests are
// stored into the entries. Each file is opened without following any symlink. A `tree` scanned
// from root_fd and found to match `entries` item by item lends the digests the scan took: those
// files are not read.
std::expected<void, SignatureProblem> hash_files(int root_fd, const Manifest* manifest,
                                                 std::vector<ManifestEntry>& entries, bool verify,
                                                 const std::vector<ManifestEntry>* tree = nullptr);

}  // namespace codesign
