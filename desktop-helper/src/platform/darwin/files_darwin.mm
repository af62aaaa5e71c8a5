#if !__has_feature(objc_arc)
#error "files_darwin.mm must be compiled with ARC (-fobjc-arc)"
#endif

#include "platform/darwin/files_darwin.hpp"

#import <Foundation/Foundation.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

#include "platform/darwin/cf_ref.hpp"
#include "platform/darwin/darwin_text.hpp"
#include "platform/darwin/foundation_text.hpp"

namespace platform::darwin {
namespace {

// The URL as a CF reference of our own: a URL made here from a path would otherwise be released
// by ARC before the CF call that uses it.
CFRef<CFURLRef> cf_url(const FileUrl& url) {
  return CFRef<CFURLRef>::adopt((__bridge_retained CFURLRef)ns_url_from_file_url(url));
}

CFFileSecurityRef security_object(const FileSecurity& security) {
  return borrow<CFFileSecurityRef>(security.native);
}

class DarwinEnumerator final : public DirectoryEnumerator {
 public:
  explicit DarwinEnumerator(CFRef<CFURLEnumeratorRef> enumerator)
      : enumerator_(std::move(enumerator)) {}

  EnumeratorStep next() override {
    @autoreleasepool {
      EnumeratorStep step;
      CFURLRef url = nullptr;
      CFRef<CFErrorRef> error;
      const CFURLEnumeratorResult result =
          CFURLEnumeratorGetNextURL(enumerator_.get(), &url, error.out());
      switch (result) {
        case kCFURLEnumeratorSuccess: {
          // A "get": the enumerator may let go of it at the next step.
          auto held = CFRef<CFURLRef>::retain(url);
          step.kind = EnumeratorStep::Kind::Success;
          step.url.path = cf_url_path(held.get()).value_or(std::string());
          step.url.is_directory = CFURLHasDirectoryPath(held.get());
          step.url.native = share(std::move(held));
          break;
        }
        case kCFURLEnumeratorEnd:
          step.kind = EnumeratorStep::Kind::End;
          break;
        case kCFURLEnumeratorError:
          step.kind = EnumeratorStep::Kind::Error;
          step.error = cf_error_value(error.get());
          break;
        default:
          step.kind = EnumeratorStep::Kind::Other;
          step.raw = static_cast<std::int64_t>(result);
          break;
      }
      return step;
    }
  }

 private:
  CFRef<CFURLEnumeratorRef> enumerator_;
};

}  // namespace

FileUrl DarwinFiles::file_url(std::string_view path) {
  @autoreleasepool {
    NSURL* url = ns_directory_url(path);
    if (url == nil) return FileUrl{std::string(path), true, nullptr};
    return file_url_from_ns_url(url);
  }
}

std::optional<std::string> DarwinFiles::url_string(const FileUrl& url) {
  @autoreleasepool {
    return cf_url_string(cf_url(url).get());
  }
}

std::optional<std::string> DarwinFiles::url_path(const FileUrl& url) {
  @autoreleasepool {
    NSString* path = [ns_url_from_file_url(url) path];
    if (path == nil) return std::nullopt;
    return ns_string_text(path);
  }
}

std::optional<FileUrl> DarwinFiles::append_path_component(const FileUrl& directory,
                                                          std::string_view name) {
  @autoreleasepool {
    NSString* component = ns_string_from_text(name);
    NSURL* base = ns_url_from_file_url(directory);
    if (component == nil || base == nil) return std::nullopt;
    NSURL* child = [base URLByAppendingPathComponent:component];
    if (child == nil) return std::nullopt;
    return file_url_from_ns_url(child);
  }
}

FoundationResult<FileUrl> DarwinFiles::item_replacement_directory(const FileUrl& destination) {
  @autoreleasepool {
    NSError* error = nil;
    NSURL* directory =
        [[NSFileManager defaultManager] URLForDirectory:NSItemReplacementDirectory
                                               inDomain:NSUserDomainMask
                                      appropriateForURL:ns_url_from_file_url(destination)
                                                 create:YES
                                                  error:&error];
    if (directory == nil) return std::unexpected(foundation_failure(error));
    return file_url_from_ns_url(directory);
  }
}

FoundationResult<void> DarwinFiles::copy_item(const FileUrl& from, const FileUrl& to) {
  @autoreleasepool {
    NSError* error = nil;
    if (![[NSFileManager defaultManager] copyItemAtURL:ns_url_from_file_url(from)
                                                 toURL:ns_url_from_file_url(to)
                                                 error:&error]) {
      return std::unexpected(foundation_failure(error));
    }
    return {};
  }
}

FoundationResult<void> DarwinFiles::replace_item(const FileUrl& destination,
                                                 const FileUrl& replacement,
                                                 std::string_view backup_name) {
  @autoreleasepool {
    NSError* error = nil;
    if (![[NSFileManager defaultManager]
            replaceItemAtURL:ns_url_from_file_url(destination)
               withItemAtURL:ns_url_from_file_url(replacement)
              backupItemName:ns_string_from_text(backup_name)
                     options:NSFileManagerItemReplacementUsingNewMetadataOnly
            resultingItemURL:nil
                       error:&error]) {
      return std::unexpected(foundation_failure(error));
    }
    return {};
  }
}

FileSecurityCopy DarwinFiles::copy_file_security(const FileUrl& url) {
  @autoreleasepool {
    auto empty = CFRef<CFFileSecurityRef>::adopt(CFFileSecurityCreate(kCFAllocatorDefault));
    if (!empty) return FileSecurityCreateFailed{};
    // Resource properties describe the item itself: for a symbolic link, the link's own.
    CFTypeRef value = empty.get();
    CFRef<CFErrorRef> error;
    if (!CFURLCopyResourcePropertyForKey(cf_url(url).get(), kCFURLFileSecurityKey, &value,
                                         error.out())) {
      return CFCallFailure{cf_error_value(error.get())};
    }
    auto own = CFRef<CFFileSecurityRef>::adopt((CFFileSecurityRef)value);
    FileSecurity security;
    uid_t owner = 0;
    gid_t group = 0;
    mode_t mode = 0;
    if (CFFileSecurityGetOwner(own.get(), &owner)) security.owner = owner;
    if (CFFileSecurityGetGroup(own.get(), &group)) security.group = group;
    if (CFFileSecurityGetMode(own.get(), &mode)) {
      security.mode = static_cast<std::uint16_t>(mode & 07777);
    }
    security.native = share(std::move(own));
    return security;
  }
}

bool DarwinFiles::set_owner(FileSecurity& security, std::uint32_t owner) {
  if (!security.native) return false;
  if (!CFFileSecuritySetOwner(security_object(security), owner)) return false;
  security.owner = owner;
  return true;
}

bool DarwinFiles::set_group(FileSecurity& security, std::uint32_t group) {
  if (!security.native) return false;
  if (!CFFileSecuritySetGroup(security_object(security), group)) return false;
  security.group = group;
  return true;
}

std::expected<void, CFCallFailure> DarwinFiles::write_file_security(const FileUrl& url,
                                                                    const FileSecurity& security) {
  @autoreleasepool {
    if (!security.native || !security.owner || !security.group) {
      return std::unexpected(CFCallFailure{cf_error_value(posix_cf_error(EINVAL).get())});
    }
    // Nobody but root can reach the replacement directory, so what lstat finds here is what the
    // write below acts on.
    struct stat item;
    if (::lstat(url.path.c_str(), &item) != 0) {
      return std::unexpected(CFCallFailure{cf_error_value(posix_cf_error(errno).get())});
    }
    if (S_ISLNK(item.st_mode)) {
      // Apple documents no symbolic-link behaviour for writing kCFURLFileSecurityKey and offers
      // no "do not follow" option; lchown is documented to act on the link itself, and root
      // must never change the owner of whatever a link points to.
      if (::lchown(url.path.c_str(), *security.owner, *security.group) != 0) {
        return std::unexpected(CFCallFailure{cf_error_value(posix_cf_error(errno).get())});
      }
      return {};
    }
    CFRef<CFErrorRef> error;
    if (!CFURLSetResourcePropertyForKey(cf_url(url).get(), kCFURLFileSecurityKey,
                                        security_object(security), error.out())) {
      return std::unexpected(CFCallFailure{cf_error_value(error.get())});
    }
    return {};
  }
}

std::unique_ptr<DirectoryEnumerator> DarwinFiles::enumerate_recursively(const FileUrl& directory) {
  @autoreleasepool {
    // Only kCFURLEnumeratorDescendRecursively: hidden items and package contents are included,
    // and the enumerator does not descend through symbolic links.
    auto enumerator = CFRef<CFURLEnumeratorRef>::adopt(CFURLEnumeratorCreateForDirectoryURL(
        kCFAllocatorDefault, cf_url(directory).get(), kCFURLEnumeratorDescendRecursively, nullptr));
    if (!enumerator) return nullptr;
    return std::make_unique<DarwinEnumerator>(std::move(enumerator));
  }
}

std::optional<std::string> DarwinFiles::bundle_version(const FileUrl& bundle) {
  @autoreleasepool {
    auto info =
        CFRef<CFDictionaryRef>::adopt(CFBundleCopyInfoDictionaryForURL(cf_url(bundle).get()));
    if (!info) return std::nullopt;
    CFTypeRef version = CFDictionaryGetValue(info.get(), kCFBundleVersionKey);
    if (!version || CFGetTypeID(version) != CFStringGetTypeID()) return std::nullopt;
    return cf_string_text(static_cast<CFStringRef>(version));
  }
}

QuarantineRemoval DarwinFiles::quarantine_removal() const {
  return QuarantineRemoval::ExternalTool;
}

int DarwinFiles::remove_quarantine_attributes(const FileUrl&) { return ENOTSUP; }

}  // namespace platform::darwin
