#include "codesign/bundle_manifest.hpp"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <charconv>
#include <memory>
#include <span>
#include <thread>

#include "codesign/sha256.hpp"
#include "codesign/written_digests.hpp"
#include "common/bundle_layout.hpp"
#include "common/error.hpp"
#include "common/util/hex.hpp"
#include "common/util/unique_fd.hpp"
#include "posix/dir_stream.hpp"
#include "posix/open_beneath.hpp"

namespace codesign {

using posix::open_beneath;

using common::bundle_layout::EXECUTABLE_DIRECTORY;
using common::bundle_layout::INFO_PLIST_PATH;
using common::bundle_layout::SIGNATURE_DIRECTORY;
using common::util::hex_value;
using common::util::to_hex;
using common::util::UniqueFd;

namespace {

void append_escaped(std::string& out, std::string_view bytes) {
  for (unsigned char c : bytes) {
    if (c > ' ' && c <= '~' && c != '%') {
      out += static_cast<char>(c);
    } else {
      out += '%';
      common::util::append_hex_byte(out, c);
    }
  }
}

bool unescape(std::string_view text, std::string& out) {
  out.clear();
  for (std::size_t i = 0; i < text.size(); ++i) {
    char c = text[i];
    if (c == '%') {
      if (i + 2 >= text.size()) return false;
      int high = hex_value(text[i + 1]);
      int low = hex_value(text[i + 2]);
      if (high < 0 || low < 0) return false;
      out += static_cast<char>(high * 16 + low);
      i += 2;
    } else if (static_cast<unsigned char>(c) <= ' ' || static_cast<unsigned char>(c) > '~') {
      return false;
    } else {
      out += c;
    }
  }
  return true;
}

bool parse_digest(std::string_view text, Digest& digest) {
  if (text.size() != digest.size() * 2) return false;
  for (std::size_t i = 0; i < digest.size(); ++i) {
    int high = hex_value(text[2 * i]);
    int low = hex_value(text[2 * i + 1]);
    // Lower case only, so that one manifest has exactly one spelling.
    if (high < 0 || low < 0 || (text[2 * i] >= 'A' && text[2 * i] <= 'F') ||
        (text[2 * i + 1] >= 'A' && text[2 * i + 1] <= 'F')) {
      return false;
    }
    digest[i] = static_cast<unsigned char>(high * 16 + low);
  }
  return true;
}

std::vector<std::string_view> split_fields(std::string_view line) {
  std::vector<std::string_view> fields;
  std::size_t start = 0;
  while (start <= line.size()) {
    auto end = line.find(' ', start);
    if (end == std::string_view::npos) end = line.size();
    fields.push_back(line.substr(start, end - start));
    start = end + 1;
  }
  return fields;
}

bool is_below_signature_directory(std::string_view path) {
  return path == SIGNATURE_DIRECTORY ||
         (path.starts_with(SIGNATURE_DIRECTORY) && path.size() > SIGNATURE_DIRECTORY.size() &&
          path[SIGNATURE_DIRECTORY.size()] == '/');
}

SignatureProblem invalid_manifest(std::size_t line, const std::string& what) {
  return SignatureProblem{RESOURCES_INVALID, "manifest line " + std::to_string(line) + ": " + what};
}

}  // namespace

const ManifestEntry* Manifest::find(std::string_view path) const {
  auto it = std::lower_bound(entries.begin(), entries.end(), path,
                             [](const ManifestEntry& e, std::string_view p) { return e.path < p; });
  if (it == entries.end() || it->path != path) return nullptr;
  return &*it;
}

bool is_sealable_path(std::string_view path) {
  if (path.empty() || path.find('\0') != std::string_view::npos) return false;
  std::size_t start = 0;
  while (start <= path.size()) {
    auto end = path.find('/', start);
    if (end == std::string_view::npos) end = path.size();
    auto component = path.substr(start, end - start);
    if (component.empty() || component == "." || component == "..") return false;
    start = end + 1;
  }
  return true;
}

std::string serialize_manifest(const Manifest& manifest) {
  std::string out;
  out.reserve(64 + manifest.entries.size() * 120);
  out += MANIFEST_MAGIC;
  out += ' ';
  out += std::to_string(MANIFEST_VERSION);
  out += "\nidentifier ";
  append_escaped(out, manifest.identifier);
  out += "\nexecutable ";
  append_escaped(out, manifest.main_executable);
  out += '\n';
  for (const auto& entry : manifest.entries) {
    out += static_cast<char>(entry.type);
    out += ' ';
    append_escaped(out, entry.path);
    switch (entry.type) {
      case ItemType::File:
        out += entry.executable ? " x " : " - ";
        out += std::to_string(entry.size);
        out += ' ';
        out += to_hex(entry.digest);
        break;
      case ItemType::Symlink:
        out += ' ';
        out += to_hex(entry.digest);
        break;
      default:
        break;
    }
    out += '\n';
  }
  return out;
}

std::expected<Manifest, SignatureProblem> parse_manifest(std::string_view bytes) {
  Manifest manifest;
  std::size_t line_number = 0;
  std::size_t pos = 0;
  std::string scratch;
  while (pos < bytes.size()) {
    auto end = bytes.find('\n', pos);
    if (end == std::string_view::npos) {
      return std::unexpected(invalid_manifest(line_number + 1, "missing line feed"));
    }
    std::string_view line = bytes.substr(pos, end - pos);
    pos = end + 1;
    ++line_number;
    auto fields = split_fields(line);

    if (line_number == 1) {
      if (fields.size() != 2 || fields[0] != MANIFEST_MAGIC) {
        return std::unexpected(invalid_manifest(1, "not a code-signature manifest"));
      }
      if (fields[1] != std::to_string(MANIFEST_VERSION)) {
        return std::unexpected(SignatureProblem{
            SIGNATURE_UNSUPPORTED, "manifest format version " + std::string(fields[1])});
      }
      continue;
    }
    if (line_number == 2 || line_number == 3) {
      std::string_view key = line_number == 2 ? "identifier" : "executable";
      if (fields.size() != 2 || fields[0] != key || !unescape(fields[1], scratch) ||
          scratch.empty()) {
        return std::unexpected(invalid_manifest(line_number, "expected " + std::string(key)));
      }
      (line_number == 2 ? manifest.identifier : manifest.main_executable) = scratch;
      continue;
    }

    ManifestEntry entry;
    if (fields[0].size() != 1) return std::unexpected(invalid_manifest(line_number, "bad item"));
    std::size_t expected_fields = 0;
    switch (fields[0][0]) {
      case 'd':
        entry.type = ItemType::Directory;
        expected_fields = 2;
        break;
      case 'f':
        entry.type = ItemType::File;
        expected_fields = 5;
        break;
      case 'l':
        entry.type = ItemType::Symlink;
        expected_fields = 3;
        break;
      default:
        return std::unexpected(invalid_manifest(line_number, "unknown item type"));
    }
    if (fields.size() != expected_fields || !unescape(fields[1], entry.path)) {
      return std::unexpected(invalid_manifest(line_number, "bad item"));
    }
    if (!is_sealable_path(entry.path) || is_below_signature_directory(entry.path)) {
      std::string shown;
      append_escaped(shown, entry.path);
      return std::unexpected(invalid_manifest(line_number, "invalid path \"" + shown + "\""));
    }
    if (entry.type == ItemType::File) {
      if (fields[2] != "x" && fields[2] != "-") {
        return std::unexpected(invalid_manifest(line_number, "bad mode"));
      }
      entry.executable = fields[2] == "x";
      auto size_text = fields[3];
      auto [ptr, ec] =
          std::from_chars(size_text.data(), size_text.data() + size_text.size(), entry.size);
      if (ec != std::errc() || ptr != size_text.data() + size_text.size() || size_text.empty() ||
          (size_text.size() > 1 && size_text[0] == '0')) {
        return std::unexpected(invalid_manifest(line_number, "bad size"));
      }
      if (!parse_digest(fields[4], entry.digest)) {
        return std::unexpected(invalid_manifest(line_number, "bad digest"));
      }
    } else if (entry.type == ItemType::Symlink) {
      if (!parse_digest(fields[2], entry.digest)) {
        return std::unexpected(invalid_manifest(line_number, "bad digest"));
      }
    }
    if (!manifest.entries.empty() && !(manifest.entries.back().path < entry.path)) {
      return std::unexpected(invalid_manifest(line_number, "items out of order or repeated"));
    }
    manifest.entries.push_back(std::move(entry));
  }
  if (line_number < 3) return std::unexpected(invalid_manifest(line_number + 1, "truncated"));

  // The main executable is a sealed, executable regular file directly in Contents/MacOS.
  const std::string& main = manifest.main_executable;
  const ManifestEntry* main_entry = manifest.find(main);
  if (!main.starts_with(EXECUTABLE_DIRECTORY) || main.size() == EXECUTABLE_DIRECTORY.size() ||
      main.find('/', EXECUTABLE_DIRECTORY.size()) != std::string::npos || !main_entry ||
      main_entry->type != ItemType::File || !main_entry->executable) {
    return std::unexpected(invalid_manifest(3, "the main executable is not a sealed executable"));
  }
  return manifest;
}

// ---------------------------------------------------------------------------------------------
// Walking the bundle.

namespace {

constexpr int MAX_DEPTH = 128;

// Hashing failed inside OpenSSL, not because of anything in the bundle.
SignatureProblem hashing_problem(const common::Error& error) {
  return SignatureProblem{INTERNAL_ERROR, error.text()};
}

std::expected<void, SignatureProblem> scan_directory(int dir_fd, const std::string& prefix,
                                                     int depth, std::vector<ManifestEntry>& out) {
  auto unreadable = [&](int error) {
    return std::unexpected(SignatureProblem{
        SIGNATURE_NOT_VERIFIABLE, "cannot read \"" + (prefix.empty() ? std::string(".") : prefix) +
                                      "\": " + common::os_error_description(error)});
  };
  if (depth > MAX_DEPTH) {
    return std::unexpected(SignatureProblem{BAD_BUNDLE_FORMAT, "directories nested too deeply"});
  }
  auto names = posix::list_names(dir_fd);
  if (!names) return unreadable(names.error());
  std::vector<std::string> subdirectories;
  for (const std::string& name : *names) {
    std::string path = prefix.empty() ? name : prefix + "/" + name;
    if (path == SIGNATURE_DIRECTORY) continue;

    struct stat st;
    if (::fstatat(dir_fd, name.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0) {
      if (errno == ENOENT) continue;  // removed while we read; the manifest check reports it
      return unreadable(errno);
    }
    ManifestEntry entry;
    entry.path = std::move(path);
    if (S_ISDIR(st.st_mode)) {
      entry.type = ItemType::Directory;
      subdirectories.emplace_back(name);
    } else if (S_ISREG(st.st_mode)) {
      entry.type = ItemType::File;
      entry.executable = (st.st_mode & 0111) != 0;
      entry.size = static_cast<std::uint64_t>(st.st_size);
      // The key of the file as it is now: one written and hashed by the helper, and not changed
      // since, has its digest waiting.
      if (auto written = written_digests().take(file_key(st))) {
        entry.digest = *written;
        entry.written = true;
      }
    } else if (S_ISLNK(st.st_mode)) {
      entry.type = ItemType::Symlink;
      char target[4096];
      ssize_t n = ::readlinkat(dir_fd, name.c_str(), target, sizeof target);
      if (n < 0) return unreadable(errno);
      auto digest = sha256_bytes(std::string_view(target, static_cast<std::size_t>(n)));
      if (!digest) return std::unexpected(hashing_problem(digest.error()));
      entry.digest = *digest;
    } else {
      entry.type = ItemType::Other;
    }
    out.push_back(std::move(entry));
  }

  for (const auto& name : subdirectories) {
    std::string path = prefix.empty() ? name : prefix + "/" + name;
    auto child = posix::open_child(dir_fd, name, O_RDONLY | O_DIRECTORY | O_NONBLOCK);
    if (!child) {
      if (child.error() == ENOENT) continue;
      if (child.error() == ELOOP || child.error() == ENOTDIR) {
        // Swapped for something else since it was listed.
        return std::unexpected(SignatureProblem{BAD_RESOURCE, "file modified: " + path});
      }
      return unreadable(child.error());
    }
    auto scanned = scan_directory(child->get(), path, depth + 1, out);
    if (!scanned) return scanned;
  }
  return {};
}

}  // namespace

std::expected<std::vector<ManifestEntry>, SignatureProblem> scan_bundle(int root_fd) {
  std::vector<ManifestEntry> items;
  auto scanned = scan_directory(root_fd, "", 0, items);
  if (!scanned) return std::unexpected(std::move(scanned.error()));
  std::sort(items.begin(), items.end(),
            [](const ManifestEntry& a, const ManifestEntry& b) { return a.path < b.path; });
  return items;
}

SignatureProblem resource_problem(const Manifest& manifest, std::string_view path,
                                  std::string detail) {
  OSStatus status = BAD_RESOURCE;
  if (path == manifest.main_executable) {
    status = SIGNATURE_FAILED;
  } else if (path == INFO_PLIST_PATH) {
    status = INFO_PLIST_FAILED;
  }
  return SignatureProblem{status, std::move(detail)};
}

std::expected<void, SignatureProblem> compare_structure(const Manifest& manifest,
                                                        const std::vector<ManifestEntry>& tree) {
  auto sealed = manifest.entries.begin();
  auto found = tree.begin();
  auto problem = [&](std::string_view path, std::string what) {
    return std::unexpected(resource_problem(manifest, path, std::move(what)));
  };
  while (sealed != manifest.entries.end() || found != tree.end()) {
    if (found == tree.end() || (sealed != manifest.entries.end() && sealed->path < found->path)) {
      return problem(sealed->path, "file missing: " + sealed->path);
    }
    if (sealed == manifest.entries.end() || found->path < sealed->path) {
      return problem(found->path, "file added: " + found->path);
    }
    const std::string& path = sealed->path;
    if (sealed->type != found->type) {
      return problem(path, "file modified: " + path + " (type changed)");
    }
    if (sealed->type == ItemType::File) {
      if (sealed->executable != found->executable) {
        return problem(path, "file modified: " + path + " (executable bit changed)");
      }
      if (sealed->size != found->size) {
        return problem(path, "file modified: " + path + " (size changed)");
      }
    } else if (sealed->type == ItemType::Symlink && sealed->digest != found->digest) {
      return problem(path, "file modified: " + path + " (link target changed)");
    }
    ++sealed;
    ++found;
  }
  return {};
}

// ---------------------------------------------------------------------------------------------
// Hashing on every core.

namespace {

constexpr std::size_t CHUNK_SIZE = 256 * 1024;
// Below this many bytes in all, a second thread costs more than it saves.
constexpr std::uint64_t PARALLEL_THRESHOLD = 4 * 1024 * 1024;

struct HashJob {
  int root_fd;
  const Manifest* manifest;
  std::vector<ManifestEntry>& entries;
  std::vector<std::size_t> files;  // indexes into entries, in entry order
  bool verify;
  const std::vector<ManifestEntry>* tree;  // matching entries item by item, or null
  std::atomic<std::size_t> next{0};
  // Lowest index (into files) that failed so far; work above it is skipped.
  std::atomic<std::size_t> first_failure{SIZE_MAX};
  std::vector<SignatureProblem> problems;  // per file, filled only on failure
};

void record_failure(HashJob& job, std::size_t k, SignatureProblem problem) {
  job.problems[k] = std::move(problem);
  std::size_t current = job.first_failure.load();
  while (k < current && !job.first_failure.compare_exchange_weak(current, k)) {
  }
}

SignatureProblem file_problem(const HashJob& job, const ManifestEntry& entry, std::string what) {
  if (job.manifest) return resource_problem(*job.manifest, entry.path, std::move(what));
  return SignatureProblem{BAD_RESOURCE, std::move(what)};
}

void hash_one(HashJob& job, std::size_t k, std::span<unsigned char> buffer) {
  ManifestEntry& entry = job.entries[job.files[k]];
  if (job.verify && job.tree) {
    if (const ManifestEntry& found = (*job.tree)[job.files[k]]; found.written) {
      if (found.digest != entry.digest) {
        record_failure(job, k, file_problem(job, entry, "file modified: " + entry.path));
      }
      return;
    }
  }
  auto opened = open_beneath(job.root_fd, entry.path, O_RDONLY | O_NOCTTY | O_NONBLOCK);
  if (!opened) {
    int error = opened.error();
    if (error == ENOENT || error == ELOOP || error == EXDEV) {
      record_failure(job, k, file_problem(job, entry, "file modified: " + entry.path));
    } else {
      record_failure(job, k,
                     SignatureProblem{SIGNATURE_NOT_VERIFIABLE,
                                      "cannot read \"" + entry.path +
                                          "\": " + common::os_error_description(error)});
    }
    return;
  }
  const UniqueFd fd = std::move(*opened);
  struct stat st;
  if (::fstat(fd.get(), &st) != 0 || !S_ISREG(st.st_mode) ||
      static_cast<std::uint64_t>(st.st_size) != entry.size ||
      ((st.st_mode & 0111) != 0) != entry.executable) {
    record_failure(job, k, file_problem(job, entry, "file modified: " + entry.path));
    return;
  }
  ::posix_fadvise(fd.get(), 0, 0, POSIX_FADV_SEQUENTIAL);
  std::uint64_t bytes = 0;
  auto digest = sha256_fd(fd.get(), buffer, bytes);
  if (!digest) {
    if (!digest.error().is_os()) {
      record_failure(job, k, hashing_problem(digest.error()));
      return;
    }
    record_failure(job, k,
                   SignatureProblem{SIGNATURE_NOT_VERIFIABLE,
                                    "cannot read \"" + entry.path + "\": " +
                                        common::os_error_description(digest.error().os_code())});
    return;
  }
  if (bytes != entry.size) {
    record_failure(job, k, file_problem(job, entry, "file modified: " + entry.path));
    return;
  }
  if (job.verify) {
    if (*digest != entry.digest) {
      record_failure(job, k, file_problem(job, entry, "file modified: " + entry.path));
    }
  } else {
    entry.digest = *digest;
  }
}

void hash_worker(HashJob& job) {
  try {
    std::unique_ptr<unsigned char[]> buffer(new unsigned char[CHUNK_SIZE]);
    for (;;) {
      std::size_t k = job.next.fetch_add(1);
      if (k >= job.files.size()) return;
      // A failure at a lower index decides the answer; anything above it is not needed.
      if (k > job.first_failure.load()) return;
      hash_one(job, k, std::span<unsigned char>(buffer.get(), CHUNK_SIZE));
    }
  } catch (const std::exception&) {
    std::size_t k = job.next.load();
    record_failure(job, std::min(k, job.files.size() - 1),
                   SignatureProblem{INTERNAL_ERROR, "out of memory while hashing"});
  }
}

}  // namespace

std::expected<void, SignatureProblem> hash_files(int root_fd, const Manifest* manifest,
                                                 std::vector<ManifestEntry>& entries, bool verify,
                                                 const std::vector<ManifestEntry>* tree) {
  if (tree && tree->size() != entries.size()) tree = nullptr;
  HashJob job{root_fd, manifest, entries, {}, verify, tree, {0}, {SIZE_MAX}, {}};
  std::uint64_t total = 0;
  for (std::size_t i = 0; i < entries.size(); ++i) {
    if (entries[i].type == ItemType::File) {
      job.files.push_back(i);
      total += entries[i].size;
    }
  }
  if (job.files.empty()) return {};
  job.problems.resize(job.files.size());

  std::size_t threads = std::max(1u, std::thread::hardware_concurrency());
  threads = std::min(threads, job.files.size());
  if (total < PARALLEL_THRESHOLD) threads = 1;
  std::vector<std::thread> helpers;
  try {
    for (std::size_t t = 1; t < threads; ++t) helpers.emplace_back(hash_worker, std::ref(job));
  } catch (const std::system_error&) {
    // Fewer threads than wished for: the ones that started (and this one) do all the work.
  }
  hash_worker(job);
  for (auto& helper : helpers) helper.join();

  std::size_t failed = job.first_failure.load();
  if (failed != SIZE_MAX) return std::unexpected(std::move(job.problems[failed]));
  return {};
}

}  // namespace codesign
