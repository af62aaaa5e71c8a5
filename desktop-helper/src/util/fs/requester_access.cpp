#include "util/fs/requester_access.hpp"

#include <string>

#include "common/util/log.hpp"
#include "common/util/quoted.hpp"

namespace util::fs {

using common::util::log_err;
using common::util::quoted;

namespace {

constexpr std::uint32_t ROOT = 0;

// The cause goes to the log only: the reply must read the same for "absent" and "behind a
// directory you cannot search", and errno tells the two apart.
void log_unreached(std::string_view what, std::string_view path, std::uint32_t uid, int error) {
  log_err("Could not reach the " + std::string(what) + " " + quoted(path) + " as user " +
          std::to_string(uid) + ": " + common::os_error_description(error));
}

}  // namespace

platform::Credentials credentials_of(const platform::Requester& requester) {
  return platform::Credentials{requester.uid, requester.gid, requester.groups};
}

common::Status check_replace_permitted(std::uint32_t uid, const platform::ReachedItem& destination,
                                       std::string_view destination_text) {
  if (uid == ROOT) return {};
  if (destination.owner == uid) return {};
  if (destination.may_change_parent) return {};
  if (destination.owner == ROOT && destination.parent_owner == ROOT) return {};
  return common::fail_because(
      common::Reason::NotPermitted,
      "Refusing to replace " + quoted(destination_text) + ", which is owned by another user");
}

common::Result<platform::FileUrl> reach_source(platform::Files& files,
                                               const platform::Requester& requester,
                                               std::string_view source_text) {
  if (requester.uid == ROOT) return files.file_url(source_text);
  auto reached = files.reach_as(source_text, credentials_of(requester), platform::Reach::Open);
  if (!reached) {
    log_unreached("source", source_text, requester.uid, reached.error());
    return common::fail_because(common::Reason::NotFound,
                                "No bundle the requesting user can open at " + quoted(source_text));
  }
  return std::move(reached->url);
}

common::Result<platform::FileUrl> reach_destination(platform::Files& files,
                                                    const platform::Requester& requester,
                                                    std::string_view destination_text) {
  if (requester.uid == ROOT) return files.file_url(destination_text);
  auto reached =
      files.reach_as(destination_text, credentials_of(requester), platform::Reach::Locate);
  if (!reached) {
    log_unreached("destination", destination_text, requester.uid, reached.error());
    return common::fail_because(
        common::Reason::NotFound,
        "No application the requesting user can reach at " + quoted(destination_text));
  }
  if (auto permitted = check_replace_permitted(requester.uid, *reached, destination_text);
      !permitted) {
    return common::fail(std::move(permitted.error()));
  }
  return std::move(reached->url);
}

}  // namespace util::fs
