// OpenSSL failures become the system's error value: ENOMEM only when an allocation failed, else
// OpenSSL's own reason; either way nothing is left queued for the next caller on the thread.

#include "codesign/openssl_error.hpp"

#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <openssl/err.h>
#include <openssl/pem.h>
#include <openssl/x509.h>

#include <cerrno>

namespace {

using codesign::openssl_error_text;
using codesign::openssl_failure;
using ::testing::HasSubstr;
using ::testing::StartsWith;

TEST(OpenSslFailure, AFailedAllocationAnywhereInTheQueueIsEnomem) {
  ERR_clear_error();
  ERR_raise(ERR_LIB_EVP, ERR_R_MALLOC_FAILURE);
  ERR_raise(ERR_LIB_ASN1, ERR_R_NESTED_ASN1_ERROR);  // what the callers above it add
  EXPECT_EQ(openssl_failure("cannot start SHA-256"), common::Error::os(ENOMEM));
  EXPECT_EQ(ERR_peek_error(), 0u);
}

TEST(OpenSslFailure, AnyOtherFailureKeepsOpenSslsReasonAfterWhatFailed) {
  ERR_clear_error();
  const unsigned char garbage[] = {0x30, 0x03, 0x02, 0x01};
  const unsigned char* cursor = garbage;
  ASSERT_EQ(d2i_X509(nullptr, &cursor, sizeof garbage), nullptr);
  const unsigned long last = ERR_peek_last_error();
  ASSERT_NE(last, 0u);
  common::Error error = openssl_failure("cannot read the signature");
  EXPECT_FALSE(error.is_os());
  EXPECT_THAT(error.message(), StartsWith("cannot read the signature: error:"));
  EXPECT_THAT(error.message(), HasSubstr(ERR_reason_error_string(last)));
  EXPECT_EQ(ERR_peek_error(), 0u);

  EXPECT_EQ(openssl_failure("cannot hold the chain").message(),
            "cannot hold the chain: unknown OpenSSL error");
}

TEST(OpenSslFailure, ErrorTextIsTheLastEntryAndEmptiesTheQueue) {
  ERR_clear_error();
  EXPECT_EQ(openssl_error_text(), "unknown OpenSSL error");
  ERR_raise(ERR_LIB_X509, X509_R_CERT_ALREADY_IN_HASH_TABLE);
  ERR_raise(ERR_LIB_PEM, PEM_R_NO_START_LINE);
  EXPECT_THAT(openssl_error_text(), HasSubstr("no start line"));
  EXPECT_EQ(ERR_peek_error(), 0u);
}

}  // namespace
