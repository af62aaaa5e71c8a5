#include "util/security/quarantine.hpp"

#include <string>
#include <vector>

#include "util/security/child_process.hpp"

namespace util::security {

common::Status remove_quarantine_attribute(platform::Files& files, const platform::FileUrl& url,
                                           std::string_view path) {
  if (files.quarantine_removal() == platform::QuarantineRemoval::ExternalTool) {
    // -s: act on each symbolic link itself. Without it the tool opens a link in the tree and
    // strips the attribute from its target, which may be anywhere: root would act outside the
    // bundle.
    return run_discarding_output(QUARANTINE_TOOL, {"-r", "-s", "-d",
                                                   std::string(QUARANTINE_ATTRIBUTE),
                                                   std::string(path)});
  }
  if (int error = files.remove_quarantine_attributes(url); error != 0) {
    return common::fail_os(error);
  }
  return {};
}

}  // namespace util::security
