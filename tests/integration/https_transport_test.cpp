// Certificates are verified against the system store or against the bundle
// named by CURL_CA_BUNDLE and/or SSL_CERT_FILE; nothing turns verification off.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "quillmere/gitlab_client.h"
#include "quillmere/http_client.h"
#include "quillmere/types.h"
#include "tests/standins/standin_servers.h"
#include "tests/support/process.h"
#include "tests/support/temp_dir.h"

namespace quillmere {
namespace {

using standins::GitLabStandin;
using ::testing::HasSubstr;
using ::testing::Not;
using testing::ScopedEnv;
using testing::TempDir;

constexpr const char* kToken = "glpat-https-secret";

class HttpsTransportTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    certs_ = new TempDir;
    const std::string script = std::string(QUILLMERE_SOURCE_DIR) + "/scripts/make-test-certs ";
    testing::sh(script + certs_->path());
    testing::sh(script + certs_->path() + "/other");
  }
  static void TearDownTestSuite() {
    delete certs_;
    certs_ = nullptr;
  }
  static std::string ca() { return *certs_ / "ca.pem"; }
  static GitLabStandin::Options options() {
    GitLabStandin::Options options;
    options.token = kToken;
    options.users = {{101, "alice", "Alice"}};
    options.tls = {*certs_ / "server.pem", *certs_ / "server.key"};
    return options;
  }

  HttpsTransportTest() {
    env.set("no_proxy", "127.0.0.1,localhost");
    env.set("NO_PROXY", "127.0.0.1,localhost");
    env.set("GITLAB_URL", gitlab.api_url());
    env.set("GITLAB_TOKEN", kToken);
    env.set("CURL_CA_BUNDLE", std::nullopt);
    env.set("SSL_CERT_FILE", std::nullopt);
  }

  // The lookup's failure text, or "" when it succeeded.
  std::string lookup_failure() {
    try {
      EXPECT_EQ(get_user_id(http, "alice"), 101);
      return "";
    } catch (const OnboardingError& failure) {
      return failure.what();
    }
  }

  static TempDir* certs_;
  ScopedEnv env;
  CurlGlobal curl;
  GitLabStandin gitlab{options()};
  HttpClient http;
};

TempDir* HttpsTransportTest::certs_ = nullptr;

TEST_F(HttpsTransportTest, UnknownAuthorityIsRefused) {
  const std::string failure = lookup_failure();
  EXPECT_THAT(failure, HasSubstr("certificate"));
  EXPECT_THAT(failure, Not(HasSubstr(kToken)));
  EXPECT_TRUE(gitlab.requests().empty());
}

TEST_F(HttpsTransportTest, BundleFromCurlCaBundle) {
  env.set("CURL_CA_BUNDLE", ca());
  EXPECT_EQ(lookup_failure(), "");
  EXPECT_EQ(gitlab.requests().size(), 1u);
}

TEST_F(HttpsTransportTest, BundleFromSslCertFile) {
  env.set("SSL_CERT_FILE", ca());
  EXPECT_EQ(lookup_failure(), "");
}

TEST_F(HttpsTransportTest, BothBundlesAreTrustedTogether) {
  // A machine-wide bundle in one variable must not hide the CA named in the
  // other, whichever way round.
  env.set("CURL_CA_BUNDLE", *certs_ / "other/ca.pem");
  env.set("SSL_CERT_FILE", ca());
  EXPECT_EQ(lookup_failure(), "");
  env.set("CURL_CA_BUNDLE", ca());
  env.set("SSL_CERT_FILE", *certs_ / "other/ca.pem");
  EXPECT_EQ(lookup_failure(), "");
}

TEST_F(HttpsTransportTest, AnotherAuthorityAloneIsRefused) {
  env.set("CURL_CA_BUNDLE", *certs_ / "other/ca.pem");
  EXPECT_THAT(lookup_failure(), HasSubstr("certificate"));
  env.set("CURL_CA_BUNDLE", std::nullopt);
  env.set("SSL_CERT_FILE", *certs_ / "other/ca.pem");
  EXPECT_THAT(lookup_failure(), HasSubstr("certificate"));
}

TEST_F(HttpsTransportTest, NameMustMatchTheCertificate) {
  // The certificate names 127.0.0.1 and localhost only.
  env.set("CURL_CA_BUNDLE", ca());
  env.set("GITLAB_URL", "https://127.0.0.2:" + std::to_string(gitlab.port()) + "/api/v4");
  const std::string failure = lookup_failure();
  EXPECT_NE(failure, "");
  EXPECT_THAT(failure, Not(HasSubstr("User not found")));
}

}  // namespace
}  // namespace quillmere
