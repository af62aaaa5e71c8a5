#include "platform/linux/sha256.hpp"

#include <unistd.h>

#include <cerrno>

#include "platform/linux/openssl_ptr.hpp"

namespace platform::linux_impl {

namespace {

// Fetched once: an explicit fetch avoids the implicit per-call lookup of EVP_sha256().
const EVP_MD* sha256_md() {
  static const EvpMdPtr md(EVP_MD_fetch(nullptr, "SHA256", nullptr));
  return md.get();
}

class Hasher {
 public:
  Hasher() : ctx_(EVP_MD_CTX_new()) {
    if (!ctx_ || EVP_DigestInit_ex(ctx_.get(), sha256_md(), nullptr) != 1) throw std::bad_alloc();
  }
  void update(const void* data, std::size_t size) {
    if (EVP_DigestUpdate(ctx_.get(), data, size) != 1) throw std::bad_alloc();
  }
  Sha256Digest finish() {
    Sha256Digest digest{};
    unsigned int length = 0;
    if (EVP_DigestFinal_ex(ctx_.get(), digest.data(), &length) != 1) throw std::bad_alloc();
    return digest;
  }

 private:
  EvpMdCtxPtr ctx_;
};

}  // namespace

std::expected<Sha256Digest, int> sha256_fd(int fd, std::span<unsigned char> buffer,
                                           std::uint64_t& bytes_read) {
  Hasher hasher;
  bytes_read = 0;
  for (;;) {
    ssize_t n = ::read(fd, buffer.data(), buffer.size());
    if (n < 0) {
      if (errno == EINTR) continue;
      return std::unexpected(errno);
    }
    if (n == 0) break;
    hasher.update(buffer.data(), static_cast<std::size_t>(n));
    bytes_read += static_cast<std::uint64_t>(n);
  }
  return hasher.finish();
}

Sha256Digest sha256_bytes(std::string_view bytes) {
  Hasher hasher;
  hasher.update(bytes.data(), bytes.size());
  return hasher.finish();
}

std::string to_hex(const Sha256Digest& digest) {
  static constexpr char kHex[] = "0123456789abcdef";
  std::string text;
  text.reserve(digest.size() * 2);
  for (unsigned char byte : digest) {
    text += kHex[byte >> 4];
    text += kHex[byte & 0xf];
  }
  return text;
}

}  // namespace platform::linux_impl
