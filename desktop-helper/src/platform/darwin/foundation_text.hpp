#pragma once
// Text, paths, URLs and errors across the Foundation boundary (Objective-C++ with ARC only).
// Free of shared state; any thread, inside the caller's autorelease pool.

#ifndef __OBJC__
#error "foundation_text.hpp is for Objective-C++ (.mm) files"
#endif

#import <Foundation/Foundation.h>

#include <optional>
#include <string>
#include <string_view>

#include "platform/files.hpp"

namespace platform::darwin {

// An NSString of UTF-8 text (alloc + initWithBytes:length:encoding:), nil when not UTF-8.
NSString* ns_string_from_text(std::string_view utf8);
// The text of an NSString: its UTF8String bytes, as many as lengthOfBytesUsingEncoding: counts;
// a string that has no UTF-8 form (an unpaired surrogate) goes through the CFString steps, each
// such unit becoming one U+FFFD. "" for nil.
std::string ns_string_text(NSString* string);

// The directory file URL of a UTF-8 path (fileURLWithPath:isDirectory: YES), nil when not UTF-8.
NSURL* ns_directory_url(std::string_view utf8_path);

// A FileUrl for a Foundation URL: its path, whether it names a directory, and the URL itself as
// the native reference (a CFURL, retained for as long as a copy of the FileUrl lives).
FileUrl file_url_from_ns_url(NSURL* url);
// The Foundation URL of a FileUrl: the one it holds, or one made from its path.
NSURL* ns_url_from_file_url(const FileUrl& url);

// The error a failed Foundation call reports: its own, or, when it left the out-parameter empty,
// the substitute error (util::macos::SUBSTITUTE_NS_ERROR_DOMAIN, code 0).
NSError* error_or_substitute(NSError* error);
// What the portable code needs of a Foundation failure: the localized description of
// error_or_substitute(error).
FoundationFailure foundation_failure(NSError* error);

}  // namespace platform::darwin
