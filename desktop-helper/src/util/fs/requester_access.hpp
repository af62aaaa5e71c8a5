#pragma once
// What root may do to a bundle on behalf of the user who asked: reach it only as far as that user
// could, and replace it only where that user could have changed it.
//
// Root acting for a user must not lend the user its own rights: a source in a directory the user
// cannot enter is not read for them, another user's application is not replaced for them, and a
// reply does not tell them whether something exists where they cannot look. Root's own requests
// are root's to make and pass untouched.

#include <cstdint>
#include <string_view>

#include "common/error.hpp"
#include "platform/files.hpp"
#include "platform/processes.hpp"

namespace util::fs {

// The rights of the user a request acts for: uid, gid and supplementary groups.
platform::Credentials credentials_of(const platform::Requester& requester);

// Whether `uid` may have the destination replaced: root may; otherwise the user owns the
// installed bundle, or may write and search the directory that holds it (and so could have put
// another bundle there itself), or bundle and directory are root's (a system-wide installation,
// which non-administrators are meant to have kept up to date). Else a NotPermitted error naming
// `destination_text`.
common::Status check_replace_permitted(std::uint32_t uid, const platform::ReachedItem& destination,
                                       std::string_view destination_text);

// The source bundle as the requester can open it (the bundle directory itself, for reading,
// without following a link): its URL, pinned by what the requester opened. NotFound otherwise,
// with one text whatever the cause, so a missing bundle and one the requester may not see look
// alike. For root: the path's URL. Blocks briefly.
common::Result<platform::FileUrl> reach_source(platform::Files& files,
                                               const platform::Requester& requester,
                                               std::string_view source_text);

// The destination as the requester can locate it, once check_replace_permitted has allowed it:
// its URL, pinned by what the requester opened. NotFound (one text whatever the cause) where the
// requester cannot locate it; NotPermitted where they may not have it replaced. For root: the
// path's URL. Blocks briefly.
common::Result<platform::FileUrl> reach_destination(platform::Files& files,
                                                    const platform::Requester& requester,
                                                    std::string_view destination_text);

}  // namespace util::fs
