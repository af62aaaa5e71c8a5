#include "platform/code_signing.hpp"
#include "platform/darwin/activation_darwin.hpp"
#include "platform/darwin/code_signing_darwin.hpp"
#include "platform/darwin/files_darwin.hpp"
#include "platform/darwin/processes_darwin.hpp"
#include "platform/platform.hpp"

namespace platform {

Platform& system_platform() {
  // Never destroyed: worker threads and launch completions may still use the platform while the
  // process exits.
  static Platform* platform = [] {
    auto* p = new Platform;
    p->activation = new darwin::LaunchdActivation;
    p->code_signing = new darwin::DarwinCodeSigning;
    p->files = new darwin::DarwinFiles;
    p->processes = new darwin::DarwinProcesses;
    return p;
  }();
  return *platform;
}

}  // namespace platform
