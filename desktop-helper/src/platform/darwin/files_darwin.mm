#if !__has_feature(objc_arc)
#error "files_darwin.mm must be compiled with ARC (-fobjc-arc)"
#endif

#include "platform/darwin/files_darwin.hpp"

#import <Foundation/Foundation.h>
#include <fcntl.h>
#include <stdio.h>
#include <sys/attr.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstring>
#include <optional>
#include <string>

#include "platform/darwin/cf_ref.hpp"
#include "platform/darwin/darwin_rules.hpp"
#include "platform/darwin/darwin_text.hpp"
#include "platform/darwin/foundation_text.hpp"

namespace platform::darwin {
namespace {

// The URL as a CF reference of our own: a URL made here from a path would otherwise be released
// by ARC before the CF call that uses it. Null when there is no URL (a path that is not UTF-8):
// every caller checks, since CoreFoundation calls do not accept null.
CFRef<CFURLRef> cf_url(const FileUrl& url) {
  NSURL* ns_url = ns_url_from_file_url(url);
  if (ns_url == nil) return {};
  return CFRef<CFURLRef>::adopt((__bridge_retained CFURLRef)ns_url);
}

CFFileSecurityRef security_object(const FileSecurity& security) {
  return borrow<CFFileSecurityRef>(security.native);
}

CFCallFailure posix_failure(int code) {
  return CFCallFailure{cf_error_value(posix_cf_error(code).get())};
}

// The path the POSIX calls take: the URL's own file-system representation, not a path parsed
// anew from text.
std::optional<std::string> posix_path(const FileUrl& url) {
  auto ref = cf_url(url);
  if (!ref) return std::nullopt;
  char buffer[PATH_MAX];
  if (!CFURLGetFileSystemRepresentation(ref.get(), true, reinterpret_cast<UInt8*>(buffer),
                                        sizeof buffer)) {
    return std::nullopt;
  }
  return std::string(buffer);
}

// A CFURL together with whatever must live as long as it does, shared as one FileUrl::native
// whose pointer is the CFURL (so borrow<CFURLRef> still reads it).
struct HeldUrl {
  CFRef<CFURLRef> url;
  std::shared_ptr<void> keep_alive;
};

std::shared_ptr<void> share_keeping(CFRef<CFURLRef> url, std::shared_ptr<void> keep_alive) {
  if (!url) return nullptr;
  auto held = std::make_shared<HeldUrl>(HeldUrl{std::move(url), std::move(keep_alive)});
  CFURLRef raw = held->url.get();
  return std::shared_ptr<void>(held, const_cast<void*>(static_cast<const void*>(raw)));
}

// Removes a replacement directory and everything in it once the last URL made from it is gone,
// whatever the replacement's outcome: a failed check would otherwise leave a whole bundle copy
// in root's temporary area. The file manager removes links, never what they point to.
class RemovedWhenReleased {
 public:
  explicit RemovedWhenReleased(CFRef<CFURLRef> directory) : directory_(std::move(directory)) {}
  RemovedWhenReleased(const RemovedWhenReleased&) = delete;
  RemovedWhenReleased& operator=(const RemovedWhenReleased&) = delete;
  ~RemovedWhenReleased() {
    @autoreleasepool {
      // Nothing to report to: the replacement has already answered.
      [[NSFileManager defaultManager] removeItemAtURL:(__bridge NSURL*)directory_.get() error:nil];
    }
  }

 private:
  CFRef<CFURLRef> directory_;
};

// Makes sure the directory the system made is the helper's alone (darwin_rules.hpp), making it
// 0700 where it is the helper's and merely readable by others. Works on a descriptor opened
// once, without following a link. 0, or the errno of the refusal.
int make_private(const std::string& path) {
  const int fd = ::open(path.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
  if (fd < 0) return errno;
  struct stat st;
  int error = 0;
  if (::fstat(fd, &st) != 0) {
    error = errno;
  } else {
    switch (replacement_directory_state(st.st_mode, st.st_uid, ::geteuid())) {
      case ReplacementDirectoryState::Private:
        break;
      case ReplacementDirectoryState::Tighten:
        if (::fchmod(fd, 0700) != 0 || ::fstat(fd, &st) != 0) {
          error = errno;
        } else if (replacement_directory_state(st.st_mode, st.st_uid, ::geteuid()) !=
                   ReplacementDirectoryState::Private) {
          error = EPERM;
        }
        break;
      case ReplacementDirectoryState::Refused:
        error = EPERM;
        break;
    }
  }
  ::close(fd);
  return error;
}

NSError* posix_ns_error(int code, NSString* description) {
  return [NSError errorWithDomain:NSPOSIXErrorDomain
                             code:code
                         userInfo:@{NSLocalizedDescriptionKey : description}];
}

// Whether the volume that holds `path` swaps two items in one step (renamex_np RENAME_SWAP).
// Asked of the volume's mount point, which volume attributes are documented for.
bool volume_swaps_items(const std::string& path) {
  struct statfs volume;
  if (::statfs(path.c_str(), &volume) != 0) return false;
  struct VolumeCapabilities {
    u_int32_t length;
    vol_capabilities_attr_t capabilities;
  } __attribute__((aligned(4), packed));
  struct attrlist request {};
  request.bitmapcount = ATTR_BIT_MAP_COUNT;
  request.volattr = ATTR_VOL_INFO | ATTR_VOL_CAPABILITIES;
  VolumeCapabilities answer{};
  if (::getattrlist(volume.f_mntonname, &request, &answer, sizeof answer, FSOPT_NOFOLLOW) != 0) {
    return false;
  }
  const auto interfaces = VOL_CAPABILITIES_INTERFACES;
  return (answer.capabilities.valid[interfaces] & VOL_CAP_INT_RENAME_SWAP) != 0 &&
         (answer.capabilities.capabilities[interfaces] & VOL_CAP_INT_RENAME_SWAP) != 0;
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
    auto ref = cf_url(url);
    if (!ref) return std::nullopt;
    return cf_url_string(ref.get());
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
    FileUrl made = file_url_from_ns_url(child);
    // An item in a replacement directory keeps the directory (and its removal) alive as long as
    // the item's URL is in use.
    if (directory.native) {
      made.native =
          share_keeping(CFRef<CFURLRef>::retain(borrow<CFURLRef>(made.native)), directory.native);
    }
    return made;
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
    FileUrl made = file_url_from_ns_url(directory);
    // Apple documents neither the owner nor the mode of the directory: root's and 0700 is what
    // keeps the copy out of every other user's reach between the check and the swap.
    auto path = posix_path(made);
    const int refused = path ? make_private(*path) : EINVAL;
    if (refused != 0) {
      return std::unexpected(foundation_failure(posix_ns_error(
          refused, [NSString stringWithFormat:@"The replacement directory %@ is not private to "
                                              @"the helper",
                                              [directory path]])));
    }
    // Only a directory found to be the helper's own is ever removed by it.
    auto removal = std::make_shared<RemovedWhenReleased>(
        CFRef<CFURLRef>::retain(borrow<CFURLRef>(made.native)));
    made.native =
        share_keeping(CFRef<CFURLRef>::retain(borrow<CFURLRef>(made.native)), std::move(removal));
    return made;
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
                                                 std::optional<std::string_view> backup_name) {
  @autoreleasepool {
    NSURL* destination_url = ns_url_from_file_url(destination);
    NSURL* replacement_url = ns_url_from_file_url(replacement);
    auto destination_path = posix_path(destination);
    auto replacement_path = posix_path(replacement);
    if (destination_url == nil || replacement_url == nil || !destination_path ||
        !replacement_path) {
      return std::unexpected(foundation_failure(posix_ns_error(EINVAL, @"No file URL")));
    }
    struct stat st;
    if (::lstat(destination_path->c_str(), &st) != 0) {
      return std::unexpected(foundation_failure(
          posix_ns_error(errno, [NSString stringWithUTF8String:strerror(errno)])));
    }
    if (S_ISLNK(st.st_mode)) {
      return std::unexpected(
          foundation_failure(posix_ns_error(ELOOP, @"The destination is a symbolic link")));
    }
    NSFileManager* manager = [NSFileManager defaultManager];
    bool swapped = false;
    if (volume_swaps_items(*destination_path)) {
      // One step: the new bundle takes the destination's place and the old one takes the new
      // one's, in the replacement directory, which only root can reach. The file manager's
      // replace promises no data loss, but not that no moment lacks a bundle at the destination.
      if (::renamex_np(replacement_path->c_str(), destination_path->c_str(), RENAME_SWAP) == 0) {
        swapped = true;
      } else if (errno != ENOTSUP && errno != EXDEV) {
        const int code = errno;
        return std::unexpected(foundation_failure(
            posix_ns_error(code, [NSString stringWithUTF8String:strerror(code)])));
      }
    }
    if (swapped) {
      NSError* error = nil;
      if (![manager removeItemAtURL:replacement_url error:&error]) {
        return std::unexpected(foundation_failure(posix_ns_error(
            static_cast<int>([error_or_substitute(error) code]),
            [NSString stringWithFormat:@"Replaced %@, but could not remove the old item: %@",
                                       [destination_url path],
                                       [error_or_substitute(error) localizedDescription]])));
      }
      return {};
    }
    NSError* error = nil;
    if (![manager replaceItemAtURL:destination_url
                     withItemAtURL:replacement_url
                    backupItemName:backup_name ? ns_string_from_text(*backup_name) : nil
                           options:NSFileManagerItemReplacementUsingNewMetadataOnly
                  resultingItemURL:nil
                             error:&error]) {
      return std::unexpected(foundation_failure(error));
    }
    return {};
  }
}

std::optional<bool> DarwinFiles::is_symbolic_link(const FileUrl& url) {
  auto path = posix_path(url);
  if (!path) return std::nullopt;
  struct stat st;
  if (::lstat(path->c_str(), &st) != 0) return std::nullopt;
  return S_ISLNK(st.st_mode);
}

FileSecurityCopy DarwinFiles::copy_file_security(const FileUrl& url) {
  @autoreleasepool {
    auto empty = CFRef<CFFileSecurityRef>::adopt(CFFileSecurityCreate(kCFAllocatorDefault));
    if (!empty) return FileSecurityCreateFailed{};
    auto ref = cf_url(url);
    if (!ref) return CFCallFailure{std::nullopt};
    // Resource properties describe the item itself: for a symbolic link, the link's own. The
    // value starts out null: the call may answer true and leave it null ("not available").
    CFTypeRef value = nullptr;
    CFRef<CFErrorRef> error;
    if (!CFURLCopyResourcePropertyForKey(ref.get(), kCFURLFileSecurityKey, &value, error.out())) {
      if (value) CFRelease(value);
      return CFCallFailure{cf_error_value(error.get())};
    }
    auto held = CFRef<CFTypeRef>::adopt(value);
    if (!held || CFGetTypeID(held.get()) != CFFileSecurityGetTypeID()) {
      return CFCallFailure{std::nullopt};
    }
    auto own = CFRef<CFFileSecurityRef>::adopt((CFFileSecurityRef)held.release());
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
    if (!security.owner || !security.group) return std::unexpected(posix_failure(EINVAL));
    auto path = posix_path(url);
    if (!path) return std::unexpected(posix_failure(EINVAL));
    // Not the file-security property: writing the item's whole object back with only the owner
    // changed writes its mode in the same call, and Apple documents no symbolic-link behaviour
    // for it and no "do not follow" option. fchownat without following changes owner and group
    // of the item itself, a link's own included, and leaves mode and access-control data alone.
    // Nobody but root can reach the replacement directory, so the path names what was copied.
    if (::fchownat(AT_FDCWD, path->c_str(), *security.owner, *security.group,
                   AT_SYMLINK_NOFOLLOW) != 0) {
      return std::unexpected(posix_failure(errno));
    }
    // A success does not prove the item took the values (a file system may ignore them): read
    // them back.
    struct stat st;
    if (::lstat(path->c_str(), &st) != 0) return std::unexpected(posix_failure(errno));
    if (st.st_uid != *security.owner || st.st_gid != *security.group) {
      return std::unexpected(posix_failure(EPERM));
    }
    return {};
  }
}

std::expected<void, CFCallFailure> DarwinFiles::write_permission_bits(const FileUrl& url,
                                                                      std::uint16_t mode) {
  auto path = posix_path(url);
  if (!path) return std::unexpected(posix_failure(EINVAL));
  const auto bits = static_cast<mode_t>(mode & 07777);
  if (::fchmodat(AT_FDCWD, path->c_str(), bits, AT_SYMLINK_NOFOLLOW) != 0) {
    return std::unexpected(posix_failure(errno));
  }
  struct stat st;
  if (::lstat(path->c_str(), &st) != 0) return std::unexpected(posix_failure(errno));
  if ((st.st_mode & 07777) != bits) return std::unexpected(posix_failure(EPERM));
  return {};
}

std::unique_ptr<DirectoryEnumerator> DarwinFiles::enumerate_recursively(const FileUrl& directory) {
  @autoreleasepool {
    auto ref = cf_url(directory);
    if (!ref) return nullptr;
    // Only kCFURLEnumeratorDescendRecursively: hidden items and package contents are included,
    // and the enumerator does not descend through symbolic links.
    auto enumerator = CFRef<CFURLEnumeratorRef>::adopt(CFURLEnumeratorCreateForDirectoryURL(
        kCFAllocatorDefault, ref.get(), kCFURLEnumeratorDescendRecursively, nullptr));
    if (!enumerator) return nullptr;
    return std::make_unique<DarwinEnumerator>(std::move(enumerator));
  }
}

std::optional<std::string> DarwinFiles::bundle_version(const FileUrl& bundle) {
  @autoreleasepool {
    auto ref = cf_url(bundle);
    if (!ref) return std::nullopt;
    auto info = CFRef<CFDictionaryRef>::adopt(CFBundleCopyInfoDictionaryForURL(ref.get()));
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
