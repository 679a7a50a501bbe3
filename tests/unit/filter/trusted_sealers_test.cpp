#include "filter/sealer_vouching.hpp"
#include "filter/trusted_sealers.hpp"
#include "log/log.hpp"
#include "support/stderr_capture.hpp"
#include "support/temp_dir.hpp"
#include "unit/dmarc/failing_resource.hpp"
#include "unit/filter/header_list.hpp"

#include <gtest/gtest.h>

#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <string>
#include <vector>

namespace corvane::filter {
namespace {

using test::header_list;

std::vector<std::string> ids_of(const TrustedSealers &sealers) {
  return {sealers.ids.begin(), sealers.ids.end()};
}

TEST(ParseTrustedSealers, OneSealerPerLine) {
  struct Case {
    std::string_view text;
    std::vector<std::string> ids;
  };
  const Case cases[] = {
      {"  arc.example.org \t\n# a comment\n\nseal.example.net\r\n",
       {"arc.example.org", "seal.example.net"}},
      {"a\nA\na", {"a", "A", "a"}},
      {"last-without-newline", {"last-without-newline"}},
      {"\t# indented comment\n#\nx # not a comment\n", {"x # not a comment"}},
      {"\r\n \r\n\t\n", {}},
      {"", {}},
      {"\vodd\f", {"\vodd\f"}},
  };
  for (const Case &c : cases) {
    const auto sealers = parse_trusted_sealers(c.text, std::pmr::get_default_resource());
    ASSERT_TRUE(sealers);
    EXPECT_EQ(ids_of(*sealers), c.ids) << c.text;
  }
  test::FailingResource none(0);
  const auto failed = parse_trusted_sealers("a-sealer-name-long-enough-to-allocate\n", &none);
  ASSERT_FALSE(failed);
  EXPECT_EQ(failed.error(), Error::OutOfMemory);
}

class LoadTrustedSealers : public ::testing::Test {
protected:
  void SetUp() override { log::install_log_settings(log::initial_log_settings()); }
  std::string file(std::string_view name, const std::string &content) {
    return temp_.write(std::string(name), content);
  }
  std::string line(std::string_view text) const {
    return "pellwyn[" + std::to_string(::getpid()) + "]: " + std::string(text) + "\n";
  }

  const corvane::test::TempDir temp_;
  const std::string dir_ = temp_.path();
};

TEST_F(LoadTrustedSealers, LogsWhatItLoaded) {
  const std::string path = file("sealers", " arc.example.org\n# x\n\nseal.example.net\r\n");
  test::StderrCapture capture;
  const auto sealers = load_trusted_sealers(path);
  EXPECT_EQ(ids_of(sealers), (std::vector<std::string>{"arc.example.org", "seal.example.net"}));
  EXPECT_EQ(capture.text(), line("loaded 2 trusted ARC sealer(s) from " + path));

  // A file of exactly 1 MiB is read; one byte more is refused.
  const std::string exact =
      file("exact", std::string(k_max_trusted_sealers_file_bytes - 1, 'x') + "\n");
  EXPECT_EQ(load_trusted_sealers(exact).ids.size(), 1u);
}

TEST_F(LoadTrustedSealers, FailuresLeaveTheListEmpty) {
  const std::string fifo = dir_ + "/fifo";
  ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
  struct Case {
    std::string path;
    std::string error;
    std::pmr::memory_resource *allocator;
  };
  test::FailingResource none(0);
  const Case cases[] = {
      {dir_ + "/missing", "FileNotFound", std::pmr::get_default_resource()},
      {file("big", std::string(k_max_trusted_sealers_file_bytes + 1, 'x')), "FileTooBig",
       std::pmr::get_default_resource()},
      {fifo, "NotRegularFile", std::pmr::get_default_resource()},
      {dir_, "IsDir", std::pmr::get_default_resource()},
      {file("fine", "arc.example.org\n"), "OutOfMemory", &none},
  };
  for (const Case &c : cases) {
    test::StderrCapture capture;
    const auto sealers = load_trusted_sealers(c.path, c.allocator);
    EXPECT_TRUE(sealers.ids.empty());
    EXPECT_EQ(capture.text(), line("failed to load TrustedSealersFile " + c.path + ": error." +
                                   c.error + "; no ARC overrides will fire"));
  }
}

TrustedSealers sealer_list(std::initializer_list<std::string_view> ids) {
  TrustedSealers sealers;
  for (const auto id : ids)
    sealers.ids.emplace_back(id);
  return sealers;
}

TEST(TrustedSealerVouches, OnlyAnExactPassFromAListedSealer) {
  const TrustedSealers listed = sealer_list({"other.example", "ARC.example.org"});
  struct Case {
    std::string_view name;
    std::string_view arc_value;
    std::optional<std::string> sealer;
    std::optional<std::string_view> arc_result = "pass";
    std::string_view author = "example.com";
  };
  const Case cases[] = {
      {"dkim at the Author Domain", "i=2; arc.example.org; dkim=pass header.d=Example.COM",
       "arc.example.org"},
      {"dkim at a subdomain", "i=2; arc.example.org; dkim=pass header.d=mail.example.com",
       std::nullopt},
      {"upstream arc fail", "i=2; arc.example.org; dkim=pass header.d=example.com", std::nullopt,
       "fail"},
      {"no upstream arc", "i=2; arc.example.org; dkim=pass header.d=example.com", std::nullopt,
       std::nullopt},
      {"upstream arc in capitals", "i=1; arc.example.org; dmarc=pass", "arc.example.org", "PASS"},
      {"empty Author Domain", "i=1; arc.example.org; dmarc=pass", std::nullopt, "pass", ""},
      {"dmarc pass", " \r\n\tI=1; arc.example.org; dmarc=pass header.from=x.example",
       "arc.example.org"},
      {"dmarc fail", "i=1; arc.example.org; dmarc=fail", std::nullopt},
      {"dkim fail", "i=1; arc.example.org; dkim=fail header.d=example.com", std::nullopt},
      {"spf mailfrom address", "i=1; arc.example.org; spf=pass smtp.mailfrom=b@x@example.com",
       "arc.example.org"},
      {"spf mailfrom domain", "i=1; arc.example.org; spf=pass smtp.mailfrom=example.com",
       "arc.example.org"},
      {"spf mailfrom at a subdomain",
       "i=1; arc.example.org; spf=pass smtp.mailfrom=b@s.example.com", std::nullopt},
      {"spf mailfrom ending in @", "i=1; arc.example.org; spf=pass smtp.mailfrom=example.com@",
       std::nullopt},
      {"spf fail", "i=1; arc.example.org; spf=fail smtp.mailfrom=example.com", std::nullopt},
      {"other method", "i=1; arc.example.org; arc=pass header.d=example.com", std::nullopt},
      {"later entry vouches", "i=1; arc.example.org; dkim=fail; spf=pass smtp.mailfrom=example.com",
       "arc.example.org"},
      {"sealer not listed", "i=1; evil.example; dmarc=pass", std::nullopt},
      {"sealer with a version", "i=1; arc.example.org 1; dmarc=pass", std::nullopt},
      {"no instance tag", "arc.example.org; dmarc=pass", std::nullopt},
      {"instance without a payload", "i=1", std::nullopt},
      {"only i=", "i=; arc.example.org; dmarc=pass", "arc.example.org"},
      {"vouch inside a comment", "i=1; arc.example.org; (dmarc=pass) dkim=fail", std::nullopt},
  };
  for (const Case &c : cases) {
    const auto headers = header_list({{"ARC-Authentication-Results", c.arc_value}});
    const auto sealer = trusted_sealer_vouches(headers, c.author, c.arc_result, listed,
                                               std::pmr::get_default_resource());
    EXPECT_EQ(sealer ? std::optional<std::string>(std::string(*sealer)) : std::nullopt, c.sealer)
        << c.name;
  }
}

TEST(TrustedSealerVouches, FirstVouchingHeaderInMessageOrder) {
  const auto headers = header_list({
      {"Authentication-Results", "i=3; arc.example.org; dmarc=pass"},
      {"ARC-Authentication-Results", "i=3; arc.example.org; dkim=pass header.d=other.example"},
      {"arc-authentication-results", "i=2; Second.Example; dkim=pass header.d=example.com"},
      {"ARC-Authentication-Results", "i=1; arc.example.org; dmarc=pass"},
  });
  const TrustedSealers listed = sealer_list({"arc.example.org", "second.example"});
  const auto sealer = trusted_sealer_vouches(headers, "example.com", "pass", listed,
                                             std::pmr::get_default_resource());
  ASSERT_TRUE(sealer);
  EXPECT_EQ(*sealer, "Second.Example");

  EXPECT_FALSE(trusted_sealer_vouches(headers, "example.com", "pass", TrustedSealers(),
                                      std::pmr::get_default_resource()));
}

TEST(TrustedSealerVouches, OutOfMemoryIsNoVoucher) {
  const auto headers = header_list(
      {{"ARC-Authentication-Results", "i=1; a-sealer-with-a-long-name.example; dmarc=pass"}});
  const TrustedSealers listed = sealer_list({"a-sealer-with-a-long-name.example"});
  bool vouched = false;
  for (std::size_t allowed = 0; !vouched; ++allowed) {
    ASSERT_LT(allowed, 10u);
    test::FailingResource resource(allowed);
    const auto sealer = trusted_sealer_vouches(headers, "example.com", "pass", listed, &resource);
    vouched = sealer.has_value();
    if (vouched) {
      EXPECT_EQ(*sealer, "a-sealer-with-a-long-name.example");
    }
    EXPECT_EQ(vouched, allowed >= 1) << allowed; // the copy of the sealer's name alone
  }
}

} // namespace
} // namespace corvane::filter
