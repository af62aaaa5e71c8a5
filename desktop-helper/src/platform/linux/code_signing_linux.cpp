#include "platform/linux/code_signing_linux.hpp"

#include <fcntl.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/vfs.h>
#include <unistd.h>

#include <array>
#include <cerrno>
#include <charconv>
#include <cstring>
#include <memory>
#include <optional>

#include "codesign/bundle_signature.hpp"
#include "codesign/info_plist.hpp"
#include "codesign/mapped_code.hpp"
#include "codesign/peer_binding.hpp"
#include "codesign/requirement_language.hpp"
#include "codesign/sha256.hpp"
#include "common/bundle_layout.hpp"
#include "common/util/unique_fd.hpp"
#include "platform/linux/file_anchor.hpp"
#include "posix/eintr.hpp"
#include "posix/proc_status.hpp"
#include "posix/process_sockets.hpp"
#include "posix/read_beneath.hpp"
#include "posix/read_file.hpp"

#ifndef SO_PASSPIDFD
#define SO_PASSPIDFD 76
#endif
#ifndef SO_PEERPIDFD
#define SO_PEERPIDFD 77
#endif
#ifndef SO_PASSRIGHTS
#define SO_PASSRIGHTS 83
#endif
#ifndef SCM_PIDFD
#define SCM_PIDFD 0x04
#endif
#ifndef PID_FS_MAGIC
#define PID_FS_MAGIC 0x50494446
#endif

namespace platform::linux_impl {

using codesign::BAD_BUNDLE_FORMAT;
using codesign::check_holds_connection;
using codesign::check_mapped_code;
using codesign::check_not_dumpable;
using codesign::check_own_pid_namespace;
using codesign::compile_requirement;
using codesign::file_key;
using codesign::GUEST_INVALID;
using codesign::INVALID_OBJECT_REF;
using codesign::ManifestEntry;
using codesign::NO_SUCH_CODE;
using codesign::parse_pem_certificate;
using codesign::read_verified_signature;
using codesign::REQUIREMENT_FAILED;
using codesign::RequirementNode;
using codesign::SealedBundle;
using codesign::SignatureProblem;
using codesign::STATIC_CODE_CHANGED;
using codesign::STATIC_CODE_NOT_FOUND;
using codesign::UNSIGNED;
using codesign::validate_bundle;

using common::bundle_layout::EXECUTABLE_DIRECTORY;
using common::util::UniqueFd;

namespace {

// Which process a pidfd refers to, where the kernel can say: on pidfs (Linux 6.9 and later)
// every process has an inode of its own, never reused while the machine runs. Elsewhere all
// pidfds share one inode, and only the pid (with the liveness of the process) tells them apart.
struct PidfdIdentity {
  bool unique = false;
  dev_t device = 0;
  ino_t inode = 0;
  friend bool operator==(const PidfdIdentity&, const PidfdIdentity&) = default;
};

PidfdIdentity identity_of_pidfd(int pidfd) {
  struct statfs fs;
  struct stat st;
  if (::fstatfs(pidfd, &fs) != 0 || fs.f_type != PID_FS_MAGIC || ::fstat(pidfd, &st) != 0) {
    return {};
  }
  return PidfdIdentity{true, st.st_dev, st.st_ino};
}

class LinuxPeerProcess final : public PeerProcess {
 public:
  static constexpr CodeObjectType TYPE{"LinuxPeerProcess"};
  LinuxPeerProcess(pid_t pid, UniqueFd pidfd, std::expected<ino_t, int> client_inode)
      : PeerProcess(TYPE),
        pid_(pid),
        pidfd_(std::move(pidfd)),
        identity_(identity_of_pidfd(pidfd_.get())),
        client_inode_(client_inode) {}
  pid_t pid() const override { return pid_; }
  int pidfd() const { return pidfd_.get(); }
  const PidfdIdentity& identity() const { return identity_; }
  const std::expected<ino_t, int>& client_inode() const { return client_inode_; }
  // What the last check of its mapped code judged. The checks of one connection run one at a
  // time, on its task.
  codesign::MappedCodeSnapshot& judged() const { return judged_; }

 private:
  pid_t pid_;
  UniqueFd pidfd_;  // the process that connected, from the kernel's record of the connect
  PidfdIdentity identity_;
  // The client end of the connection, found once: it stays the same socket for the connection's
  // lifetime. Error: why the kernel could not say.
  std::expected<ino_t, int> client_inode_;
  mutable codesign::MappedCodeSnapshot judged_;
};

class LinuxGuestCode final : public GuestCode {
 public:
  static constexpr CodeObjectType TYPE{"LinuxGuestCode"};
  LinuxGuestCode(const LinuxPeerProcess& peer, UniqueFd executable, std::string executable_path)
      : GuestCode(TYPE),
        peer_(&peer),
        executable_(std::move(executable)),
        executable_path_(std::move(executable_path)) {}

  const LinuxPeerProcess* peer_;  // outlives the guest code: the peer it was copied from
  UniqueFd executable_;           // the running executable's inode, whatever its path says now
  std::string executable_path_;   // where it was when the process was looked up
  // CFBundleVersion of the sealed information list, read while the verified bundle was open: the
  // bundle's path may name other files by the time anyone asks.
  mutable std::optional<std::string> sealed_bundle_version_;
};

class LinuxCodeURL final : public CodeURL {
 public:
  static constexpr CodeObjectType TYPE{"LinuxCodeURL"};
  explicit LinuxCodeURL(std::string path) : CodeURL(TYPE), path_(std::move(path)) {}
  explicit LinuxCodeURL(std::shared_ptr<const FileAnchor> anchor)
      : CodeURL(TYPE), anchor_(std::move(anchor)) {}
  std::string path_;
  // Where the Files area pinned the bundle; used instead of the path when set.
  std::shared_ptr<const FileAnchor> anchor_;
};

class LinuxStaticCode final : public StaticCode {
 public:
  static constexpr CodeObjectType TYPE{"LinuxStaticCode"};
  explicit LinuxStaticCode(UniqueFd root) : StaticCode(TYPE), root_(std::move(root)) {}
  UniqueFd root_;  // the bundle directory, pinned when the code object was made
};

class LinuxRequirement final : public Requirement {
 public:
  static constexpr CodeObjectType TYPE{"LinuxRequirement"};
  explicit LinuxRequirement(RequirementNode node) : Requirement(TYPE), node_(std::move(node)) {}
  RequirementNode node_;
};

// The process behind a pidfd still exists (running or a zombie not yet reaped). Once it has been
// reaped its pid may name another process, and this answers false.
// (glibc 2.36's <sys/pidfd.h> lacks C linkage for C++, so the system calls are made directly.)
bool is_alive(int pidfd) { return ::syscall(SYS_pidfd_send_signal, pidfd, 0, nullptr, 0) == 0; }

int open_pidfd(pid_t pid) { return static_cast<int>(::syscall(SYS_pidfd_open, pid, 0)); }

std::string proc_path(pid_t pid, std::string_view entry) {
  return "/proc/" + std::to_string(pid) + "/" + std::string(entry);
}

// Reads a /proc file in chunks, handing each to `consume`. Error: errno.
template <typename Consume>
std::expected<void, int> read_proc(pid_t pid, std::string_view entry, Consume consume) {
  UniqueFd fd(::open(proc_path(pid, entry).c_str(), O_RDONLY | O_CLOEXEC));
  if (!fd) return std::unexpected(errno);
  return posix::read_chunks(fd.get(), consume);
}

std::expected<std::uint64_t, int> tracer_pid(pid_t pid) {
  return posix::proc_status_number(pid, "TracerPid");
}

// The first code-injecting variable of the environment the process was started with, or "".
std::expected<std::string, int> injecting_variable(pid_t pid) {
  std::string found;
  std::string entry;  // the start of the current entry; enough to know its name
  bool judged = false;
  auto judge = [&] {
    if (!judged && found.empty() && is_code_injecting_variable(entry)) {
      found = entry.substr(0, entry.find('='));
    }
    judged = true;
  };
  auto read = read_proc(pid, "environ", [&](std::string_view chunk) {
    for (char c : chunk) {
      if (c == '\0') {
        judge();
        entry.clear();
        judged = false;
      } else if (entry.size() < 32) {
        entry += c;
      }
    }
  });
  if (!read) return std::unexpected(read.error());
  if (!entry.empty()) judge();
  return found;
}

// The platform error object of a failed check: code = status, description = the problem's text.
SecFailure sec_failure(const SignatureProblem& problem) {
  return SecFailure{problem.status, CFError{problem.status, problem.text()}};
}

SecFailure sec_failure(OSStatus status, std::string detail) {
  return sec_failure(SignatureProblem{status, std::move(detail)});
}

codesign::CheckScope check_scope(ValidationScope scope) {
  return scope == ValidationScope::Full ? codesign::CheckScope::Full
                                        : codesign::CheckScope::Identity;
}

// What keeps the bytes of the connection the verified process's own: nobody else may trace it,
// take its descriptors or name it as the writer of theirs, and it must hold its end of the
// connection as the client library does. The final liveness check proves that every look-up
// through the pid was about the verified process.
std::expected<void, SignatureProblem> check_binding(const LinuxPeerProcess& peer) {
  if (auto dumpable = check_not_dumpable(peer.pid()); !dumpable) return dumpable;
  if (auto space = check_own_pid_namespace(peer.pid()); !space) return space;
  if (!peer.client_inode()) {
    return std::unexpected(SignatureProblem{
        GUEST_INVALID, "cannot find the client end of the connection: " +
                           common::os_error_description(peer.client_inode().error())});
  }
  if (auto held = check_holds_connection(peer.pid(), *peer.client_inode()); !held) return held;
  if (!is_alive(peer.pidfd())) {
    return std::unexpected(SignatureProblem{NO_SUCH_CODE, "the process has exited"});
  }
  return {};
}

// The CFBundleVersion of the bundle open at `root`, only from an information list whose bytes are
// the ones `manifest` seals; none otherwise.
std::optional<std::string> sealed_bundle_version(int root, const codesign::Manifest& manifest) {
  constexpr std::size_t MAX_INFO_PLIST_SIZE = 1 << 20;
  const ManifestEntry* sealed = manifest.find(common::bundle_layout::INFO_PLIST_PATH);
  if (sealed == nullptr || sealed->type != codesign::ItemType::File) return std::nullopt;
  auto plist =
      posix::read_file_beneath(root, common::bundle_layout::INFO_PLIST_PATH, MAX_INFO_PLIST_SIZE);
  if (!plist) return std::nullopt;
  auto digest = codesign::sha256_bytes(*plist);
  if (!digest || *digest != sealed->digest) return std::nullopt;
  auto strings = codesign::read_plist_strings(*plist);
  if (!strings) return std::nullopt;
  auto version = strings->find("CFBundleVersion");
  if (version == strings->end()) return std::nullopt;
  return version->second;
}

std::expected<void, SignatureProblem> check_guest(const LinuxGuestCode& guest,
                                                  const RequirementNode& requirement,
                                                  const X509* anchor, CodeApprovals& approvals) {
  auto gone = [] {
    return std::unexpected(SignatureProblem{NO_SUCH_CODE, "the process has exited"});
  };
  const LinuxPeerProcess& peer = *guest.peer_;
  if (!is_alive(peer.pidfd())) return gone();

  // What the loader and a debugger can do to a process is outside its signature. The process was
  // looked up through its pidfd, and the final liveness check below proves these reads were
  // about the same process.
  auto tracer = tracer_pid(peer.pid());
  if (!tracer) return gone();
  if (*tracer != 0) {
    return std::unexpected(SignatureProblem{
        GUEST_INVALID, "the process is being traced by process " + std::to_string(*tracer)});
  }
  auto variable = injecting_variable(peer.pid());
  if (!variable) {
    if (variable.error() == ENOENT || variable.error() == ESRCH) return gone();
    return std::unexpected(
        SignatureProblem{GUEST_INVALID, "cannot read the environment of the process: " +
                                            common::os_error_description(variable.error())});
  }
  if (!variable->empty()) {
    return std::unexpected(
        SignatureProblem{GUEST_INVALID, "the process was started with " + *variable +
                                            " set, which loads code its signature does not cover"});
  }

  std::string path = guest.executable_path_;
  constexpr std::string_view DELETED_SUFFIX = " (deleted)";
  if (path.ends_with(DELETED_SUFFIX)) path.resize(path.size() - DELETED_SUFFIX.size());
  std::string bundle = bundle_of_executable(path);
  if (bundle.empty()) {
    return std::unexpected(
        SignatureProblem{UNSIGNED, "the executable " + path + " is not inside a bundle"});
  }
  UniqueFd root(::open(bundle.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
  if (!root) {
    return std::unexpected(SignatureProblem{STATIC_CODE_NOT_FOUND, bundle});
  }
  auto verified = read_verified_signature(root.get(), anchor);
  if (!verified) return std::unexpected(std::move(verified.error()));

  const std::string& main = verified->manifest.main_executable;
  std::string running = path.substr(bundle.size() + 1);
  if (running != main) {
    return std::unexpected(SignatureProblem{
        STATIC_CODE_CHANGED, "the process runs " + running + ", not the main executable " + main});
  }
  if (!requirement.evaluate(verified->facts)) {
    return std::unexpected(SignatureProblem{REQUIREMENT_FAILED, ""});
  }
  guest.sealed_bundle_version_ = sealed_bundle_version(root.get(), verified->manifest);

  // Only what establishes the identity of the running code is checked here: the signature, and
  // that the executable the kernel runs is byte for byte the sealed main executable. Resources
  // are sealed too, but re-reading a whole bundle for every connection would cost far more than
  // the check is worth; bundles are validated in full when they are installed.
  const ManifestEntry* sealed = verified->manifest.find(main);
  auto changed = [&] {
    return std::unexpected(SignatureProblem{
        STATIC_CODE_CHANGED, "the running executable differs from the sealed " + main});
  };
  struct stat st;
  if (::fstat(guest.executable_.get(), &st) != 0 ||
      static_cast<std::uint64_t>(st.st_size) != sealed->size) {
    return changed();
  }
  auto digest = approvals.digest(guest.executable_.get(), st);
  if (!digest || *digest != sealed->digest) return changed();
  approvals.approve(file_key(st), *digest);

  // What else runs in the process, and how it holds its connection.
  SealedBundle sealed_bundle{bundle, &verified->manifest};
  if (auto mapped = check_mapped_code(peer.pid(), &sealed_bundle, approvals, &peer.judged());
      !mapped) {
    return mapped;
  }
  if (auto bound = check_binding(peer); !bound) return bound;
  return {};
}

// The checks that keep a verified connection bound to the code verified on it. The bundle is
// not read again: it may have been replaced on disk meanwhile (that is what the helper is for),
// while the running process keeps the files it had.
std::expected<void, SignatureProblem> recheck_guest(const LinuxPeerProcess& peer,
                                                    CodeApprovals& approvals) {
  auto gone = [] {
    return std::unexpected(SignatureProblem{NO_SUCH_CODE, "the process has exited"});
  };
  if (!is_alive(peer.pidfd())) return gone();
  // One open of the status file answers both whether it is traced and whether it is dumpable.
  auto status = posix::read_proc_status(peer.pid());
  if (!status) return gone();
  auto tracer = posix::status_number(status->text, "TracerPid");
  if (!tracer) return gone();
  if (*tracer != 0) {
    return std::unexpected(SignatureProblem{
        GUEST_INVALID, "the process is being traced by process " + std::to_string(*tracer)});
  }
  // The executable is looked up once. Its key is enough while it names approved code whose
  // digest may be reused; otherwise that same file, not the link again, is opened and read.
  UniqueFd executable(::open(proc_path(peer.pid(), "exe").c_str(), O_PATH | O_CLOEXEC));
  struct stat st;
  if (!executable || ::fstat(executable.get(), &st) != 0) return gone();
  if (!approvals.is_known_approved(st)) {
    const std::string same_file = "/proc/self/fd/" + std::to_string(executable.get());
    UniqueFd readable(::open(same_file.c_str(), O_RDONLY | O_CLOEXEC));
    if (!readable || ::fstat(readable.get(), &st) != 0) return gone();
    if (!approvals.is_approved(readable.get(), st)) {
      return std::unexpected(SignatureProblem{
          STATIC_CODE_CHANGED, "the process runs another executable than the one verified"});
    }
  }
  // Unchanged since the last check: nothing to judge again.
  if (!codesign::maps_as_judged(peer.pid(), peer.judged())) {
    if (auto mapped = check_mapped_code(peer.pid(), nullptr, approvals, &peer.judged()); !mapped) {
      return mapped;
    }
  }
  // How the process holds its connection was settled at the verification: what it writes since
  // is judged byte by byte, and an exec, the one way to make its pid run other code, shows in
  // the executable and the mappings above. A process's PID namespace never changes.
  if (auto dumpable = check_not_dumpable(status->st); !dumpable) return dumpable;
  if (!is_alive(peer.pidfd())) return gone();
  return {};
}

// Room for the credentials, a pidfd and the most descriptors one message can carry
// (SCM_MAX_FD), which are closed unread; the kernel drops whatever does not fit.
constexpr std::size_t CONTROL_SPACE =
    CMSG_SPACE(sizeof(ucred)) + CMSG_SPACE(sizeof(int)) + CMSG_SPACE(253 * sizeof(int));

}  // namespace

std::string bundle_of_executable(std::string_view executable_path) {
  if (executable_path.empty() || executable_path.front() != '/') return "";
  auto slash = executable_path.rfind('/');
  // The directory with its separator, as the layout spells it: <bundle>/Contents/MacOS/.
  std::string_view directory = executable_path.substr(0, slash + 1);
  std::string_view name = executable_path.substr(slash + 1);
  if (name.empty() || !directory.ends_with(EXECUTABLE_DIRECTORY)) return "";
  std::string_view bundle = directory.substr(0, directory.size() - EXECUTABLE_DIRECTORY.size());
  // <bundle>/ before the layout's directory, and a bundle that is not the root directory.
  if (bundle.size() < 2 || bundle.back() != '/') return "";
  bundle.remove_suffix(1);
  return std::string(bundle);
}

bool is_code_injecting_variable(std::string_view entry) {
  // glibc's list of variables it removes for privileged programs (unsecvars.h, 2.36): each makes
  // the loader or libc read code or data from a place the caller chooses. All but TMPDIR, which
  // is there because a privileged program would create files in it; it changes no code the
  // client runs, and login sessions (pam_tmpdir) and test harnesses set it routinely, so
  // refusing it would turn the genuine application away.
  static constexpr std::string_view UNSAFE[] = {
      "GCONV_PATH",       "GETCONF_DIR",   "HOSTALIASES",
      "LD_AUDIT",         "LD_DEBUG",      "LD_DEBUG_OUTPUT",
      "LD_DYNAMIC_WEAK",  "LD_HWCAP_MASK", "LD_LIBRARY_PATH",
      "LD_ORIGIN_PATH",   "LD_PRELOAD",    "LD_PROFILE",
      "LD_SHOW_AUXV",     "LOCALDOMAIN",   "LOCPATH",
      "MALLOC_TRACE",     "NIS_PATH",      "NLSPATH",
      "RESOLV_HOST_CONF", "RES_OPTIONS",   "TZDIR"};
  auto equals = entry.find('=');
  if (equals == std::string_view::npos) return false;
  std::string_view name = entry.substr(0, equals);
  for (std::string_view unsafe : UNSAFE) {
    if (name == unsafe) return true;
  }
  return false;
}

LinuxCodeSigning::LinuxCodeSigning(std::string_view trust_anchor_pem)
    : anchor_(parse_pem_certificate(trust_anchor_pem)) {}

std::expected<std::unique_ptr<PeerProcess>, int> LinuxCodeSigning::copy_peer_process(
    int socket_fd) {
  // From here on every byte read carries its writer. A listener made with the option passes it
  // on to the connections it accepts; one made without it is mended here, before the first read.
  // Bytes that were queued before the accept carry their writer either way.
  int on = 1;
  if (::setsockopt(socket_fd, SOL_SOCKET, SO_PASSCRED, &on, sizeof on) != 0) {
    return std::unexpected(errno);
  }
  // Kernels before 6.5 have no pidfd of the writer; its pid, with the verified process still
  // alive, names it just as surely.
  (void)::setsockopt(socket_fd, SOL_SOCKET, SO_PASSPIDFD, &on, sizeof on);
  // Nothing the helper serves comes with descriptors: senders are refused them (6.16 and later)
  // rather than having them land in a root process. Where this is unknown, they are closed.
  int off = 0;
  (void)::setsockopt(socket_fd, SOL_SOCKET, SO_PASSRIGHTS, &off, sizeof off);

  ucred credentials{};
  socklen_t length = sizeof credentials;
  if (::getsockopt(socket_fd, SOL_SOCKET, SO_PEERCRED, &credentials, &length) != 0) {
    return std::unexpected(errno);
  }
  int pidfd = -1;
  length = sizeof pidfd;
  if (::getsockopt(socket_fd, SOL_SOCKET, SO_PEERPIDFD, &pidfd, &length) != 0) {
    if (errno != ENOPROTOOPT) return std::unexpected(errno);
    // Kernels before 6.5: the best available is a pidfd taken now, which a pid recycled since
    // the connect would fool. The check of the running executable still has to pass.
    pidfd = open_pidfd(credentials.pid);
    if (pidfd < 0) return std::unexpected(errno);
  }
  UniqueFd owned(pidfd);
  struct stat own;
  if (::fstat(socket_fd, &own) != 0) return std::unexpected(errno);
  return std::make_unique<LinuxPeerProcess>(credentials.pid, std::move(owned),
                                            posix::peer_socket_inode(own.st_ino));
}

std::expected<PeerCredentials, int> LinuxCodeSigning::peer_credentials(int socket_fd) {
  ucred credentials{};
  socklen_t length = sizeof credentials;
  if (::getsockopt(socket_fd, SOL_SOCKET, SO_PEERCRED, &credentials, &length) != 0) {
    return std::unexpected(errno);
  }
  return PeerCredentials{credentials.uid, credentials.gid};
}

std::expected<std::unique_ptr<GuestCode>, OSStatus> LinuxCodeSigning::copy_guest_code(
    const PeerProcess& peer) {
  auto* linux_peer = code_object_cast<LinuxPeerProcess>(peer);
  if (!linux_peer) return std::unexpected(INVALID_OBJECT_REF);
  if (!is_alive(linux_peer->pidfd())) return std::unexpected(NO_SUCH_CODE);

  std::string exe = proc_path(linux_peer->pid(), "exe");
  std::string target(4096, '\0');
  ssize_t n = ::readlink(exe.c_str(), target.data(), target.size());
  if (n <= 0 || static_cast<std::size_t>(n) >= target.size()) return std::unexpected(NO_SUCH_CODE);
  target.resize(static_cast<std::size_t>(n));
  UniqueFd executable(::open(exe.c_str(), O_RDONLY | O_CLOEXEC));
  if (!executable) return std::unexpected(NO_SUCH_CODE);
  // Both reads went through the pid; the pidfd says whether that pid still named our peer.
  if (!is_alive(linux_peer->pidfd())) return std::unexpected(NO_SUCH_CODE);

  return std::make_unique<LinuxGuestCode>(*linux_peer, std::move(executable), std::move(target));
}

std::unique_ptr<CodeURL> LinuxCodeSigning::create_code_url(std::string_view utf8_path) {
  // A path that cannot name a file gives no URL.
  if (utf8_path.empty() || utf8_path.find('\0') != std::string_view::npos) return nullptr;
  return std::make_unique<LinuxCodeURL>(std::string(utf8_path));
}

std::unique_ptr<CodeURL> LinuxCodeSigning::create_code_url(const FileUrl& url) {
  return std::make_unique<LinuxCodeURL>(anchor_of(url));
}

std::expected<std::unique_ptr<StaticCode>, OSStatus> LinuxCodeSigning::create_static_code(
    const CodeURL& url) {
  auto* linux_url = code_object_cast<LinuxCodeURL>(url);
  if (!linux_url) return std::unexpected(INVALID_OBJECT_REF);
  if (linux_url->anchor_) {
    // The bundle the later steps of a replacement reach, and no other.
    auto st = stat_item(*linux_url->anchor_);
    if (!st) return std::unexpected(STATIC_CODE_NOT_FOUND);
    if (!S_ISDIR(st->st_mode)) return std::unexpected(BAD_BUNDLE_FORMAT);
    UniqueFd root(open_item(*linux_url->anchor_, O_RDONLY | O_DIRECTORY));
    if (!root) return std::unexpected(STATIC_CODE_NOT_FOUND);
    return std::make_unique<LinuxStaticCode>(std::move(root));
  }
  struct stat st;
  if (::lstat(linux_url->path_.c_str(), &st) != 0) return std::unexpected(STATIC_CODE_NOT_FOUND);
  // A bundle is a directory; a symlink to one is not followed (as root, nothing is).
  if (!S_ISDIR(st.st_mode)) return std::unexpected(BAD_BUNDLE_FORMAT);
  UniqueFd root(::open(linux_url->path_.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
  if (!root) return std::unexpected(STATIC_CODE_NOT_FOUND);
  return std::make_unique<LinuxStaticCode>(std::move(root));
}

std::expected<std::unique_ptr<Requirement>, SecFailure> LinuxCodeSigning::create_requirement(
    std::string_view text) {
  auto compiled = compile_requirement(text);
  if (!compiled) return std::unexpected(sec_failure(compiled.error()));
  return std::make_unique<LinuxRequirement>(std::move(*compiled));
}

std::expected<void, SecFailure> LinuxCodeSigning::check_guest_validity(
    GuestCode& code, const Requirement& requirement) {
  auto* guest = code_object_cast<LinuxGuestCode>(code);
  auto* compiled = code_object_cast<LinuxRequirement>(requirement);
  if (!guest || !compiled) return std::unexpected(sec_failure(INVALID_OBJECT_REF, ""));
  auto checked = check_guest(*guest, compiled->node_, anchor_.get(), approvals_);
  if (!checked) return std::unexpected(sec_failure(checked.error()));
  return {};
}

std::expected<void, SecFailure> LinuxCodeSigning::check_static_validity(
    StaticCode& code, const Requirement& requirement, ValidationScope scope) {
  auto* bundle = code_object_cast<LinuxStaticCode>(code);
  auto* compiled = code_object_cast<LinuxRequirement>(requirement);
  if (!bundle || !compiled) return std::unexpected(sec_failure(INVALID_OBJECT_REF, ""));
  auto checked =
      validate_bundle(bundle->root_.get(), anchor_.get(), compiled->node_, check_scope(scope));
  if (!checked) return std::unexpected(sec_failure(checked.error()));
  return {};
}

std::expected<void, SecFailure> LinuxCodeSigning::recheck_guest_validity(const PeerProcess& peer,
                                                                         int /*socket_fd*/) {
  auto* linux_peer = code_object_cast<LinuxPeerProcess>(peer);
  if (!linux_peer) return std::unexpected(sec_failure(INVALID_OBJECT_REF, ""));
  auto checked = recheck_guest(*linux_peer, approvals_);
  if (!checked) return std::unexpected(sec_failure(checked.error()));
  return {};
}

std::expected<GuestSigningFacts, OSStatus> LinuxCodeSigning::copy_guest_signing_facts(
    GuestCode& code) {
  auto* guest = code_object_cast<LinuxGuestCode>(code);
  if (!guest) return std::unexpected(INVALID_OBJECT_REF);
  GuestSigningFacts facts;
  facts.hardened_runtime = true;
  facts.valid = is_alive(guest->peer_->pidfd());
  auto tracer = tracer_pid(guest->peer_->pid());
  facts.debugged = !tracer || *tracer != 0;
  facts.bundle_version = guest->sealed_bundle_version_;
  return facts;
}

std::expected<ReceivedBytes, int> LinuxCodeSigning::receive_from_peer(const PeerProcess& peer,
                                                                      int socket_fd,
                                                                      std::span<char> into) {
  auto* linux_peer = code_object_cast<LinuxPeerProcess>(peer);
  if (!linux_peer) return std::unexpected(EINVAL);
  alignas(cmsghdr) std::array<char, CONTROL_SPACE> control;
  iovec io{into.data(), into.size()};
  msghdr message{};
  message.msg_iov = &io;
  message.msg_iovlen = 1;
  message.msg_control = control.data();
  message.msg_controllen = control.size();
  ssize_t n = posix::retry_eintr(
      [&] { return ::recvmsg(socket_fd, &message, MSG_DONTWAIT | MSG_CMSG_CLOEXEC); });
  if (n < 0) return std::unexpected(errno);

  std::optional<ucred> credentials;
  UniqueFd writer;
  for (cmsghdr* c = CMSG_FIRSTHDR(&message); c != nullptr; c = CMSG_NXTHDR(&message, c)) {
    if (c->cmsg_level != SOL_SOCKET) continue;
    const std::size_t data = c->cmsg_len - CMSG_LEN(0);
    if (c->cmsg_type == SCM_CREDENTIALS && data >= sizeof(ucred)) {
      ucred u;
      std::memcpy(&u, CMSG_DATA(c), sizeof u);
      credentials = u;
    } else if (c->cmsg_type == SCM_PIDFD && data >= sizeof(int)) {
      int fd;
      std::memcpy(&fd, CMSG_DATA(c), sizeof fd);
      writer.reset(fd);
    } else if (c->cmsg_type == SCM_RIGHTS) {
      for (std::size_t i = 0; i + sizeof(int) <= data; i += sizeof(int)) {
        int fd;
        std::memcpy(&fd, CMSG_DATA(c) + i, sizeof fd);
        UniqueFd discarded(fd);
      }
    }
  }

  ReceivedBytes received;
  received.size = static_cast<std::size_t>(n);
  received.writer_pid = credentials ? credentials->pid : 0;
  if (n == 0) return received;  // the end of the stream has no writer
  const PidfdIdentity& verified = linux_peer->identity();
  if (writer && verified.unique) {
    // The verified pidfd is on pidfs, whose device no other file system has: the writer's is the
    // same process exactly when its device and inode are the same, with no need to ask which
    // file system the writer's descriptor is on.
    struct stat st;
    const bool same = ::fstat(writer.get(), &st) == 0 && st.st_dev == verified.device &&
                      st.st_ino == verified.inode;
    received.writer = same ? Writer::VerifiedPeer : Writer::OtherProcess;
  } else if (received.writer_pid <= 0) {
    received.writer = Writer::Unnamed;
  } else {
    received.writer =
        received.writer_pid == linux_peer->pid() ? Writer::VerifiedPeer : Writer::OtherProcess;
  }
  // Taken after the read: while the verified process has not been reaped, no other process can
  // have its pid.
  received.peer_alive = is_alive(linux_peer->pidfd());
  return received;
}

}  // namespace platform::linux_impl
