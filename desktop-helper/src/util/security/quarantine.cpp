#include "util/security/quarantine.hpp"

#include <sys/wait.h>

#include <string>
#include <vector>

#include "util/security/child_process.hpp"

namespace util::security {

common::Status remove_quarantine_attribute(platform::Files& files, const platform::FileUrl& url,
                                           std::string_view path, std::string_view tool) {
  if (files.quarantine_removal() == platform::QuarantineRemoval::ExternalTool) {
    // -s: act on each symbolic link itself. Without it the tool opens a link in the tree and
    // strips the attribute from its target, which may be anywhere: root would act outside the
    // bundle.
    auto status = run_discarding_output(
        tool, {"-r", "-s", "-d", std::string(QUARANTINE_ATTRIBUTE), std::string(path)});
    if (!status) return common::fail(std::move(status.error()));
    // With -r the tool already passes over items that lack the attribute, so anything but a
    // clean exit means some item may still carry it, and a quarantined bundle would be
    // installed as though it had been cleared.
    if (WIFEXITED(*status) && WEXITSTATUS(*status) == 0) return {};
    if (WIFSIGNALED(*status)) {
      return common::fail_other("xattr was ended by signal " + std::to_string(WTERMSIG(*status)));
    }
    return common::fail_other("xattr exited with status " +
                              std::to_string(WIFEXITED(*status) ? WEXITSTATUS(*status) : *status));
  }
  if (int error = files.remove_quarantine_attributes(url); error != 0) {
    return common::fail_os(error);
  }
  return {};
}

}  // namespace util::security
