#if !__has_feature(objc_arc)
#error "foundation_text.mm must be compiled with ARC (-fobjc-arc)"
#endif

#include "platform/darwin/foundation_text.hpp"

#include <cerrno>

#include "platform/darwin/cf_ref.hpp"
#include "platform/darwin/darwin_text.hpp"
#include "util/macos/platform_error.hpp"

namespace platform::darwin {

NSString* ns_string_from_text(std::string_view utf8) {
  return [[NSString alloc] initWithBytes:utf8.data()
                                  length:utf8.size()
                                encoding:NSUTF8StringEncoding];
}

std::string ns_string_text(NSString* string) {
  if (string == nil) return {};
  const char* bytes = [string UTF8String];
  if (bytes == nullptr) return cf_string_text((__bridge CFStringRef)string);
  return std::string(bytes, [string lengthOfBytesUsingEncoding:NSUTF8StringEncoding]);
}

NSURL* ns_directory_url(std::string_view utf8_path) {
  NSString* path = ns_string_from_text(utf8_path);
  if (path == nil) return nil;
  return [NSURL fileURLWithPath:path isDirectory:YES];
}

FileUrl file_url_from_ns_url(NSURL* url) {
  FileUrl file;
  file.path = ns_string_text([url path]);
  auto retained = CFRef<CFURLRef>::adopt((__bridge_retained CFURLRef)url);
  file.is_directory = CFURLHasDirectoryPath(retained.get());
  file.native = share(std::move(retained));
  return file;
}

NSURL* ns_url_from_file_url(const FileUrl& url) {
  if (url.native) return (__bridge NSURL*)borrow<CFURLRef>(url.native);
  NSString* path = ns_string_from_text(url.path);
  if (path == nil) return nil;
  return [NSURL fileURLWithPath:path isDirectory:url.is_directory ? YES : NO];
}

NSError* error_or_substitute(NSError* error) {
  if (error != nil) return error;
  const std::string_view domain = util::macos::SUBSTITUTE_NS_ERROR_DOMAIN;
  return [NSError errorWithDomain:ns_string_from_text(domain) code:0 userInfo:nil];
}

namespace {

// NSFileWriteVolumeReadOnlyError, spelt out: not every SDK the check builds against names it.
constexpr NSInteger FILE_WRITE_VOLUME_READ_ONLY = 642;

// The POSIX error number under a Foundation error: its own code in the POSIX domain or that of
// an error underneath (a few levels at most), else the Cocoa file codes of the conditions a
// client is told about; 0 when none applies.
int posix_code_of(NSError* error) {
  NSError* e = error;
  for (int depth = 0; e != nil && depth < 4; ++depth) {
    if ([[e domain] isEqualToString:NSPOSIXErrorDomain]) return static_cast<int>([e code]);
    id underlying = [[e userInfo] objectForKey:NSUnderlyingErrorKey];
    e = [underlying isKindOfClass:[NSError class]] ? (NSError*)underlying : nil;
  }
  if (error == nil || ![[error domain] isEqualToString:NSCocoaErrorDomain]) return 0;
  switch ([error code]) {
    case FILE_WRITE_VOLUME_READ_ONLY:
      return EROFS;
    case NSFileWriteOutOfSpaceError:
      return ENOSPC;
    case NSFileNoSuchFileError:
    case NSFileReadNoSuchFileError:
      return ENOENT;
    case NSFileReadNoPermissionError:
    case NSFileWriteNoPermissionError:
      return EACCES;
    default:
      return 0;
  }
}

}  // namespace

FoundationFailure foundation_failure(NSError* error) {
  return FoundationFailure{ns_string_text([error_or_substitute(error) localizedDescription]),
                           posix_code_of(error)};
}

}  // namespace platform::darwin
