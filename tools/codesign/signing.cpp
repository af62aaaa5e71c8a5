#include "codesign/signing.hpp"

#include <fcntl.h>
#include <openssl/err.h>
#include <openssl/pem.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

#include "codesign/bundle_manifest.hpp"
#include "codesign/info_plist.hpp"
#include "codesign/openssl_error.hpp"
#include "common/bundle_layout.hpp"
#include "common/util/unique_fd.hpp"
#include "posix/open_beneath.hpp"
#include "posix/read_beneath.hpp"

namespace codesign {

using posix::open_beneath;

using common::bundle_layout::EXECUTABLE_DIRECTORY;
using common::bundle_layout::INFO_PLIST_PATH;
using common::bundle_layout::MANIFEST_NAME;
using common::bundle_layout::MANIFEST_PATH;
using common::bundle_layout::SIGNATURE_DIRECTORY;
using common::bundle_layout::SIGNATURE_NAME;
using common::bundle_layout::SIGNATURE_PATH;
using common::util::UniqueFd;

common::Result<SigningIdentity> load_signing_identity(const std::string& key_path,
                                                      const std::string& cert_path,
                                                      const std::string& chain_path) {
  ErrorQueueGuard guard;
  SigningIdentity identity;
  BioPtr key_bio(BIO_new_file(key_path.c_str(), "r"));
  if (key_bio)
    identity.key.reset(PEM_read_bio_PrivateKey(key_bio.get(), nullptr, nullptr, nullptr));
  if (!identity.key) {
    return common::fail_other("cannot read a private key from " + key_path + ": " +
                              openssl_error_text());
  }
  BioPtr cert_bio(BIO_new_file(cert_path.c_str(), "r"));
  if (cert_bio) identity.leaf.reset(PEM_read_bio_X509(cert_bio.get(), nullptr, nullptr, nullptr));
  if (!identity.leaf) {
    return common::fail_other("cannot read a certificate from " + cert_path + ": " +
                              openssl_error_text());
  }
  if (X509_check_private_key(identity.leaf.get(), identity.key.get()) != 1) {
    ERR_clear_error();
    return common::fail_other("the private key in " + key_path + " does not belong to " +
                              cert_path);
  }
  identity.chain.reset(sk_X509_new_null());
  if (!identity.chain) return common::fail(openssl_failure("cannot hold the chain"));
  if (!chain_path.empty()) {
    BioPtr chain_bio(BIO_new_file(chain_path.c_str(), "r"));
    if (!chain_bio) {
      return common::fail_other("cannot open " + chain_path + ": " + openssl_error_text());
    }
    while (X509* cert = PEM_read_bio_X509(chain_bio.get(), nullptr, nullptr, nullptr)) {
      if (!sk_X509_push(identity.chain.get(), cert)) {
        X509_free(cert);
        return common::fail(openssl_failure("cannot hold the chain"));
      }
    }
    ERR_clear_error();  // the end of the file reads as an error
    if (sk_X509_num(identity.chain.get()) == 0) {
      return common::fail_other("no certificate in " + chain_path);
    }
  }
  return identity;
}

common::Result<std::string> sign_detached(std::string_view content,
                                          const SigningIdentity& identity) {
  ErrorQueueGuard guard;
  BioPtr in(BIO_new_mem_buf(content.data(), static_cast<int>(content.size())));
  if (!in) return common::fail(openssl_failure("signing failed"));
  CmsPtr cms(CMS_sign(identity.leaf.get(), identity.key.get(), identity.chain.get(), in.get(),
                      CMS_DETACHED | CMS_BINARY | CMS_NOSMIMECAP));
  if (!cms) return common::fail_other("signing failed: " + openssl_error_text());
  BioPtr out(BIO_new(BIO_s_mem()));
  if (!out || i2d_CMS_bio(out.get(), cms.get()) != 1) {
    return common::fail_other("encoding the signature failed: " + openssl_error_text());
  }
  char* data = nullptr;
  long length = BIO_get_mem_data(out.get(), &data);
  return std::string(data, static_cast<std::size_t>(length));
}

namespace {

constexpr std::size_t MAX_INFO_PLIST_SIZE = 1024 * 1024;

common::Status write_file_at(int dir_fd, const std::string& name, std::string_view bytes) {
  std::string temporary = name + ".tmp";
  UniqueFd fd(::openat(dir_fd, temporary.c_str(),
                       O_WRONLY | O_CREAT | O_TRUNC | O_NOFOLLOW | O_CLOEXEC, 0644));
  if (!fd) return common::fail_last_os();
  std::size_t done = 0;
  while (done < bytes.size()) {
    ssize_t n = ::write(fd.get(), bytes.data() + done, bytes.size() - done);
    if (n < 0) {
      if (errno == EINTR) continue;
      return common::fail_last_os();
    }
    done += static_cast<std::size_t>(n);
  }
  if (::renameat(dir_fd, temporary.c_str(), dir_fd, name.c_str()) != 0) {
    return common::fail_last_os();
  }
  return {};
}

}  // namespace

common::Status write_signature(const std::string& bundle_path, std::string_view manifest,
                               std::string_view signature_der) {
  UniqueFd root(::open(bundle_path.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  if (!root)
    return common::fail_other("cannot open " + bundle_path + ": " +
                              common::os_error_description(errno));
  if (::mkdirat(root.get(), std::string(SIGNATURE_DIRECTORY).c_str(), 0755) != 0 &&
      errno != EEXIST) {
    return common::fail_other("cannot create " + std::string(SIGNATURE_DIRECTORY) + ": " +
                              common::os_error_description(errno));
  }
  auto directory = open_beneath(root.get(), SIGNATURE_DIRECTORY, O_RDONLY | O_DIRECTORY);
  if (!directory) {
    return common::fail_other("cannot open " + std::string(SIGNATURE_DIRECTORY) + ": " +
                              common::os_error_description(directory.error()));
  }
  struct Component {
    std::string_view path;
    std::string_view name;
    std::string_view bytes;
  };
  for (const auto& [path, name, bytes] :
       {Component{MANIFEST_PATH, MANIFEST_NAME, manifest},
        Component{SIGNATURE_PATH, SIGNATURE_NAME, signature_der}}) {
    auto written = write_file_at(directory->get(), std::string(name), bytes);
    if (!written) {
      return common::fail_other("cannot write " + std::string(path) + ": " +
                                written.error().text());
    }
  }
  return {};
}

common::Status sign_bundle(const std::string& bundle_path, const SigningIdentity& identity) {
  UniqueFd root(::open(bundle_path.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  if (!root) {
    return common::fail_other("cannot open " + bundle_path + ": " +
                              common::os_error_description(errno));
  }
  auto plist = posix::read_file_beneath(root.get(), INFO_PLIST_PATH, MAX_INFO_PLIST_SIZE);
  if (!plist) {
    std::string why = plist.error() == EFBIG    ? std::string("too large")
                      : plist.error() == EINVAL ? std::string("not a regular file")
                                                : common::os_error_description(plist.error());
    return common::fail_other("cannot read " + std::string(INFO_PLIST_PATH) + ": " + why);
  }
  auto strings = read_plist_strings(*plist);
  if (!strings) {
    return common::fail_other(std::string(INFO_PLIST_PATH) + ": " + strings.error());
  }
  auto identifier = strings->find("CFBundleIdentifier");
  auto executable = strings->find("CFBundleExecutable");
  if (identifier == strings->end() || identifier->second.empty()) {
    return common::fail_other(std::string(INFO_PLIST_PATH) + " has no CFBundleIdentifier");
  }
  if (executable == strings->end() || !is_sealable_path(executable->second) ||
      executable->second.find('/') != std::string::npos) {
    return common::fail_other(std::string(INFO_PLIST_PATH) + " has no usable CFBundleExecutable");
  }

  Manifest manifest;
  manifest.identifier = identifier->second;
  manifest.main_executable = std::string(EXECUTABLE_DIRECTORY) + executable->second;
  auto tree = scan_bundle(root.get());
  if (!tree) return common::fail_other(tree.error().text());
  for (const auto& entry : *tree) {
    if (entry.type == ItemType::Other) {
      return common::fail_other("cannot seal " + entry.path +
                                ": not a directory, regular file or symbolic link");
    }
    // Installing a bundle hands it to its new owner with chown, which clears these bits, so a
    // seal over them could never match an installed copy; nor does an application need them.
    if (entry.type == ItemType::File) {
      struct stat st;
      if (::fstatat(root.get(), entry.path.c_str(), &st, AT_SYMLINK_NOFOLLOW) == 0 &&
          (st.st_mode & (S_ISUID | S_ISGID)) != 0) {
        return common::fail_other("cannot seal " + entry.path +
                                  ": set-user-id and set-group-id files are not allowed");
      }
    }
  }
  manifest.entries = std::move(*tree);
  const ManifestEntry* main = manifest.find(manifest.main_executable);
  if (!main || main->type != ItemType::File || !main->executable) {
    return common::fail_other(manifest.main_executable + " is not an executable file");
  }
  auto hashed = hash_files(root.get(), nullptr, manifest.entries, false);
  if (!hashed) return common::fail_other(hashed.error().text());

  std::string text = serialize_manifest(manifest);
  auto signature = sign_detached(text, identity);
  if (!signature) return common::fail(std::move(signature.error()));
  return write_signature(bundle_path, text, *signature);
}

}  // namespace codesign
