#include "codesign/sha256.hpp"

#include <unistd.h>

#include <cerrno>

#include "codesign/openssl_error.hpp"
#include "codesign/openssl_ptr.hpp"
#include "posix/eintr.hpp"

namespace codesign {

namespace {

// Fetched once: an explicit fetch avoids the implicit per-call lookup of EVP_sha256().
const EVP_MD* sha256_md() {
  static const EvpMdPtr md(EVP_MD_fetch(nullptr, "SHA256", nullptr));
  return md.get();
}

class Hasher {
 public:
  common::Status start() {
    ctx_.reset(EVP_MD_CTX_new());
    if (!ctx_ || EVP_DigestInit_ex(ctx_.get(), sha256_md(), nullptr) != 1) {
      return common::fail(openssl_failure("cannot start SHA-256"));
    }
    return {};
  }
  common::Status update(const void* data, std::size_t size) {
    if (EVP_DigestUpdate(ctx_.get(), data, size) != 1) {
      return common::fail(openssl_failure("cannot compute SHA-256"));
    }
    return {};
  }
  common::Result<Sha256Digest> finish() {
    Sha256Digest digest{};
    unsigned int length = 0;
    if (EVP_DigestFinal_ex(ctx_.get(), digest.data(), &length) != 1) {
      return common::fail(openssl_failure("cannot finish SHA-256"));
    }
    return digest;
  }

 private:
  EvpMdCtxPtr ctx_;
};

}  // namespace

struct Sha256Stream::State {
  Hasher hasher;
  common::Status status;
};

Sha256Stream::Sha256Stream() : state_(std::make_unique<State>()) {
  state_->status = state_->hasher.start();
}
Sha256Stream::~Sha256Stream() = default;
Sha256Stream::Sha256Stream(Sha256Stream&&) noexcept = default;
Sha256Stream& Sha256Stream::operator=(Sha256Stream&&) noexcept = default;

void Sha256Stream::update(std::span<const unsigned char> bytes) {
  if (!state_->status || bytes.empty()) return;
  state_->status = state_->hasher.update(bytes.data(), bytes.size());
}

common::Result<Sha256Digest> Sha256Stream::finish() {
  if (!state_->status) return common::fail(std::move(state_->status.error()));
  return state_->hasher.finish();
}

common::Result<Sha256Digest> sha256_fd(int fd, std::span<unsigned char> buffer,
                                       std::uint64_t& bytes_read) {
  Hasher hasher;
  if (auto started = hasher.start(); !started) return common::fail(std::move(started.error()));
  bytes_read = 0;
  for (;;) {
    ssize_t n = posix::retry_eintr([&] { return ::read(fd, buffer.data(), buffer.size()); });
    if (n < 0) return common::fail_last_os();
    if (n == 0) break;
    if (auto added = hasher.update(buffer.data(), static_cast<std::size_t>(n)); !added) {
      return common::fail(std::move(added.error()));
    }
    bytes_read += static_cast<std::uint64_t>(n);
  }
  return hasher.finish();
}

common::Result<Sha256Digest> sha256_bytes(std::string_view bytes) {
  Hasher hasher;
  if (auto started = hasher.start(); !started) return common::fail(std::move(started.error()));
  if (auto added = hasher.update(bytes.data(), bytes.size()); !added) {
    return common::fail(std::move(added.error()));
  }
  return hasher.finish();
}

}  // namespace codesign
