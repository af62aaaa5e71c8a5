#include "platform/darwin/darwin_text.hpp"

#include "util/macos/cf_string_text.hpp"

namespace platform::darwin {

namespace macos = util::macos;

std::string cf_string_text(CFStringRef string) {
  if (!string) return {};
  return macos::cf_string_text(
      [string] { return static_cast<std::int64_t>(CFStringGetLength(string)); },
      [string](std::int64_t start, std::int64_t count, std::span<char> buffer) {
        CFIndex used = 0;
        const CFIndex converted = CFStringGetBytes(
            string, CFRangeMake(static_cast<CFIndex>(start), static_cast<CFIndex>(count)),
            kCFStringEncodingUTF8, /*lossByte=*/0, /*isExternalRepresentation=*/false,
            reinterpret_cast<UInt8*>(buffer.data()), static_cast<CFIndex>(buffer.size()), &used);
        return macos::ConvertedRange{static_cast<std::int64_t>(converted),
                                     static_cast<std::size_t>(used)};
      });
}

CFRef<CFStringRef> cf_string_from_text(std::string_view utf8) {
  return CFRef<CFStringRef>::adopt(CFStringCreateWithBytes(
      nullptr, reinterpret_cast<const UInt8*>(utf8.data()), static_cast<CFIndex>(utf8.size()),
      kCFStringEncodingUTF8, /*isExternalRepresentation=*/false));
}

CFRef<CFURLRef> cf_url_from_path(std::string_view utf8_path, bool is_directory) {
  auto string = cf_string_from_text(utf8_path);
  if (!string) return {};
  return CFRef<CFURLRef>::adopt(CFURLCreateWithFileSystemPath(kCFAllocatorDefault, string.get(),
                                                              kCFURLPOSIXPathStyle, is_directory));
}

std::optional<std::string> cf_url_string(CFURLRef url) {
  if (!url) return std::nullopt;
  auto string = CFRef<CFStringRef>::retain(CFURLGetString(url));
  if (!string) return std::nullopt;
  return cf_string_text(string.get());
}

std::optional<std::string> cf_url_path(CFURLRef url) {
  if (!url) return std::nullopt;
  auto path = CFRef<CFStringRef>::adopt(CFURLCopyFileSystemPath(url, kCFURLPOSIXPathStyle));
  if (!path) return std::nullopt;
  return cf_string_text(path.get());
}

platform::OptionalCFError cf_error_value(CFErrorRef error) {
  if (!error) return std::nullopt;
  platform::CFError value;
  value.code = static_cast<std::int64_t>(CFErrorGetCode(error));
  if (auto description = CFRef<CFStringRef>::adopt(CFErrorCopyDescription(error))) {
    value.description = cf_string_text(description.get());
  }
  return value;
}

CFRef<CFErrorRef> posix_cf_error(int code) {
  return CFRef<CFErrorRef>::adopt(
      CFErrorCreate(kCFAllocatorDefault, kCFErrorDomainPOSIX, static_cast<CFIndex>(code), nullptr));
}

}  // namespace platform::darwin
