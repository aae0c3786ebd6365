// HTTPS to the emulated update server: the server's certificate and host
// name are verified, and a private certificate authority is accepted when
// CURL_CA_BUNDLE names it.
#include <gtest/gtest.h>

#include "update_server_fixture.h"

namespace {

using qmtest::UpdateServerFixture;

class Tls : public UpdateServerFixture {
 protected:
  // A test CA and a server certificate signed by it for `names`
  // (subjectAltName entries such as "IP:127.0.0.1").
  void makeCertificates(const std::string& names) {
    const std::string dir = repo("../pki");
    std::filesystem::create_directories(dir);
    ca_ = dir + "/ca.pem";
    cert_ = dir + "/server.pem";
    key_ = dir + "/server.key";
    const std::vector<std::vector<std::string>> steps = {
        {"openssl", "req", "-x509", "-newkey", "rsa:2048", "-nodes", "-keyout", dir + "/ca.key", "-out", ca_,
         "-days", "2", "-subj", "/CN=Quillomat Test CA"},
        {"openssl", "req", "-newkey", "rsa:2048", "-nodes", "-keyout", key_, "-out", dir + "/server.csr", "-subj",
         "/CN=update server"},
        {"openssl", "x509", "-req", "-in", dir + "/server.csr", "-CA", ca_, "-CAkey", dir + "/ca.key",
         "-CAcreateserial", "-out", cert_, "-days", "2", "-extfile", dir + "/ext.cnf"},
    };
    qmtest::writeFile(dir + "/ext.cnf", "subjectAltName=" + names + "\n");
    for (const auto& step : steps) {
      const auto result = qmtest::run(step);
      ASSERT_EQ(result.exitCode, 0) << result.err;
    }
  }

  std::string ca_, cert_, key_;
};

TEST_F(Tls, TrustedCertificateAuthorityIsAccepted) {
  makeCertificates("IP:127.0.0.1,DNS:localhost");
  startServer({"--cert", cert_, "--key", key_}, "https://");
  ASSERT_EQ(url().substr(0, 8), "https://");

  qmtest::RunOptions options;
  options.env["CURL_CA_BUNDLE"] = ca_;
  auto result = updater({"-B", "-d", SERIAL}, options);
  EXPECT_EQ(result.exitCode, 0);
  EXPECT_EQ(result.err, "");
  EXPECT_TRUE(contains(result.out, "101            \t2.0.0          \n")) << result.out;

  // Without the CA the server is not trusted: the ping fails and nothing is listed.
  result = updater({"-B", "-d", SERIAL, "-X", "0x20"});
  EXPECT_EQ(result.exitCode, 0);
  EXPECT_TRUE(contains(result.err, "ping ==> [SSL peer certificate or SSH remote key was not OK]\n")) << result.err;
  EXPECT_TRUE(contains(result.err, "Server request failed for " + url() + "\n"));
  EXPECT_TRUE(contains(result.out, "No builds found for device [000012AB]\n"));
  EXPECT_EQ(requests().size(), 2u);  // only the trusted run got past the handshake
}

TEST_F(Tls, CertificateForAnotherHostIsRefused) {
  makeCertificates("DNS:elsewhere.invalid");
  startServer({"--cert", cert_, "--key", key_}, "https://");
  qmtest::RunOptions options;
  options.env["CURL_CA_BUNDLE"] = ca_;
  const auto result = updater({"-G", "-d", SERIAL, "-X", "0x20"}, options);
  EXPECT_EQ(result.exitCode, 1);
  EXPECT_TRUE(contains(result.err, "ping ==> [SSL peer certificate or SSH remote key was not OK]\n")) << result.err;
  EXPECT_TRUE(contains(result.err, "Server request failed for " + url() + "\n"));
  EXPECT_TRUE(requests().empty());
}

}  // namespace
