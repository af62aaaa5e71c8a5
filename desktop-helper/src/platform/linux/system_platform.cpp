#include "platform/code_signing.hpp"
#include "platform/linux/activation_linux.hpp"
#include "platform/linux/code_signing_linux.hpp"
#include "platform/linux/files_linux.hpp"
#include "platform/linux/processes_linux.hpp"
#include "platform/linux/trust_anchor.hpp"
#include "platform/platform.hpp"

namespace platform {

Platform& system_platform() {
  // Never destroyed: worker threads may still use the platform while the process exits.
  static Platform* platform = [] {
    auto* p = new Platform;
    p->activation = new linux_impl::SystemdActivation;
    p->code_signing = new linux_impl::LinuxCodeSigning(linux_impl::compiled_trust_anchor_pem());
    p->files = new linux_impl::LinuxFiles;
    p->processes = new linux_impl::LinuxProcesses;
    return p;
  }();
  return *platform;
}

}  // namespace platform
