// Certificates are verified against the system store or against the bundle
// named by CURL_CA_BUNDLE and/or SSL_CERT_FILE; nothing turns verification off.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "quillmere/remote/gitlab_client.h"
#include "quillmere/remote/http_client.h"
#include "quillmere/util/error.h"
#include "tests/standins/standin_servers.h"
#include "tests/support/process.h"
#include "tests/support/temp_dir.h"

namespace quillmere::https_transport_test {
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
    settings.gitlab_url = gitlab.api_url();
    settings.gitlab_token = kToken;
  }

  // The lookup's failure text, or "" when it succeeded, with these bundles.
  std::string lookup_failure(const std::vector<std::string>& ca_bundles = {}) {
    HttpClient http(10, ca_bundles);
    RemoteContext remote{settings, http, retry_api_call(1, 0, [](long long) {})};
    try {
      EXPECT_EQ(get_user_id(remote, "alice"), 101);
      return "";
    } catch (const OnboardingError& failure) {
      return failure.what();
    }
  }

  static TempDir* certs_;
  ScopedEnv env;
  CurlGlobal curl;
  GitLabStandin gitlab{options()};
  Settings settings;
};

TempDir* HttpsTransportTest::certs_ = nullptr;

TEST_F(HttpsTransportTest, UnknownAuthorityIsRefused) {
  const std::string failure = lookup_failure();
  EXPECT_THAT(failure, HasSubstr("certificate"));
  EXPECT_THAT(failure, Not(HasSubstr(kToken)));
  EXPECT_TRUE(gitlab.requests().empty());
}

TEST_F(HttpsTransportTest, TheNamedBundleIsTrusted) {
  EXPECT_EQ(lookup_failure({ca()}), "");
  EXPECT_EQ(gitlab.requests().size(), 1u);
}

TEST_F(HttpsTransportTest, BothBundlesAreTrustedTogether) {
  // A machine-wide bundle in one variable must not hide the CA named in the
  // other, whichever way round.
  EXPECT_EQ(lookup_failure({*certs_ / "other/ca.pem", ca()}), "");
  EXPECT_EQ(lookup_failure({ca(), *certs_ / "other/ca.pem"}), "");
}

TEST_F(HttpsTransportTest, AnotherAuthorityAloneIsRefused) {
  EXPECT_THAT(lookup_failure({*certs_ / "other/ca.pem"}), HasSubstr("certificate"));
  EXPECT_THAT(lookup_failure({*certs_ / "missing.pem"}), HasSubstr("certificate"));
}

TEST_F(HttpsTransportTest, NameMustMatchTheCertificate) {
  // The certificate names 127.0.0.1 and localhost only.
  settings.gitlab_url = "https://127.0.0.2:" + std::to_string(gitlab.port()) + "/api/v4";
  const std::string failure = lookup_failure({ca()});
  EXPECT_NE(failure, "");
  EXPECT_THAT(failure, Not(HasSubstr("User not found")));
}

}  // namespace
}  // namespace quillmere::https_transport_test
