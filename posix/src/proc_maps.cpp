#include "posix/proc_maps.hpp"

#include <sys/ioctl.h>

#include <cerrno>
#include <charconv>
#include <cstring>

#include "posix/eintr.hpp"

namespace posix {
namespace {

// The kernel's query, as its interface header declares it (older headers lack it).
struct ProcmapQuery {
  std::uint64_t size;
  std::uint64_t query_flags;
  std::uint64_t query_addr;
  std::uint64_t vma_start;
  std::uint64_t vma_end;
  std::uint64_t vma_flags;
  std::uint64_t vma_page_size;
  std::uint64_t vma_offset;
  std::uint64_t inode;
  std::uint32_t dev_major;
  std::uint32_t dev_minor;
  std::uint32_t vma_name_size;
  std::uint32_t build_id_size;
  std::uint64_t vma_name_addr;
  std::uint64_t build_id_addr;
};
static_assert(sizeof(ProcmapQuery) == 104);

constexpr unsigned long PROCMAP_QUERY = _IOWR('f', 17, ProcmapQuery);
constexpr std::uint64_t VMA_READABLE = 0x01;
constexpr std::uint64_t VMA_WRITABLE = 0x02;
constexpr std::uint64_t VMA_EXECUTABLE = 0x04;
constexpr std::uint64_t VMA_SHARED = 0x08;
constexpr std::uint64_t COVERING_OR_NEXT_VMA = 0x10;
constexpr std::uint64_t FILE_BACKED_VMA = 0x20;

std::string_view next_field(std::string_view& line) {
  while (!line.empty() && line.front() == ' ') line.remove_prefix(1);
  auto end = line.find(' ');
  std::string_view field = line.substr(0, end);
  line.remove_prefix(end == std::string_view::npos ? line.size() : end);
  return field;
}

template <typename Number>
bool parse(std::string_view text, Number& number, int base) {
  auto [ptr, ec] = std::from_chars(text.data(), text.data() + text.size(), number, base);
  return ec == std::errc() && ptr == text.data() + text.size();
}

// Splits "a<separator>b" into two hexadecimal numbers.
template <typename Number>
bool parse_pair(std::string_view text, char separator, Number& first, Number& second) {
  auto at = text.find(separator);
  return at != std::string_view::npos && parse(text.substr(0, at), first, 16) &&
         parse(text.substr(at + 1), second, 16);
}

}  // namespace

MapsLine split_maps_line(std::string_view line) {
  MapsLine fields;
  fields.range = next_field(line);
  fields.perms = next_field(line);
  fields.offset = next_field(line);
  fields.device = next_field(line);
  fields.inode = next_field(line);
  return fields;
}

bool MapsLine::maps_file_executable() const {
  return perms.size() >= 3 && perms[2] == 'x' && !inode.empty() && inode != "0";
}

std::expected<std::vector<MappedRange>, int> executable_file_ranges(std::string_view maps) {
  std::vector<MappedRange> ranges;
  while (!maps.empty()) {
    auto end = maps.find('\n');
    std::string_view line = maps.substr(0, end);
    maps.remove_prefix(end == std::string_view::npos ? maps.size() : end + 1);
    const MapsLine fields = split_maps_line(line);
    if (fields.perms.size() != 4) return std::unexpected(EINVAL);
    if (!fields.maps_file_executable()) continue;
    MappedRange r;
    r.readable = fields.perms[0] == 'r';
    r.writable = fields.perms[1] == 'w';
    r.shared = fields.perms[3] == 's';
    if (!parse_pair(fields.range, '-', r.start, r.end) || !parse(fields.offset, r.offset, 16) ||
        !parse_pair(fields.device, ':', r.device_major, r.device_minor) ||
        !parse(fields.inode, r.inode, 10)) {
      return std::unexpected(EINVAL);
    }
    ranges.push_back(r);
  }
  return ranges;
}

std::expected<std::vector<MappedRange>, int> query_executable_file_ranges(int maps_fd) {
  std::vector<MappedRange> ranges;
  std::uint64_t from = 0;
  for (;;) {
    ProcmapQuery q;
    std::memset(&q, 0, sizeof q);
    q.size = sizeof q;
    q.query_flags = COVERING_OR_NEXT_VMA | VMA_EXECUTABLE | FILE_BACKED_VMA;
    q.query_addr = from;
    if (retry_eintr([&] { return ::ioctl(maps_fd, PROCMAP_QUERY, &q); }) != 0) {
      if (errno == ENOENT) return ranges;  // no executable mapping of a file from here on
      return std::unexpected(errno);
    }
    MappedRange r;
    r.start = q.vma_start;
    r.end = q.vma_end;
    r.readable = (q.vma_flags & VMA_READABLE) != 0;
    r.writable = (q.vma_flags & VMA_WRITABLE) != 0;
    r.shared = (q.vma_flags & VMA_SHARED) != 0;
    r.offset = q.vma_offset;
    r.device_major = q.dev_major;
    r.device_minor = q.dev_minor;
    r.inode = q.inode;
    ranges.push_back(r);
    if (q.vma_end <= from) return std::unexpected(EINVAL);  // never loops on one mapping
    from = q.vma_end;
  }
}

}  // namespace posix
