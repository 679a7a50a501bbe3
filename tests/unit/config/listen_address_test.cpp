#include "config/listen_address.hpp"

#include <gtest/gtest.h>

#include <string>

namespace corvane::config {
namespace {

ListenAddress inet(std::string host, std::uint16_t port) {
  ListenAddress a;
  a.host = std::move(host);
  a.port = port;
  return a;
}

ListenAddress unix_path(std::string path) {
  ListenAddress a;
  a.kind = ListenAddress::Kind::unix_domain;
  a.path = std::move(path);
  return a;
}

struct AddressCase {
  std::string text;
  Result<ListenAddress> expected;
};

const std::string k_path_103 = "/" + std::string(102, 'p');
const std::string k_path_104 = "/" + std::string(103, 'p');

const AddressCase k_address_cases[] = {
    {"8894", inet("0.0.0.0", 8894)},
    {"inet:8894", inet("0.0.0.0", 8894)},
    {"inet:25@::1", inet("::1", 25)},
    {"25@127.0.0.1", inet("127.0.0.1", 25)},
    {"inet:+2_5@10.0.0.1", inet("10.0.0.1", 25)},
    {"inet:-0@::", inet("::", 0)},
    {"inet:65535@::ffff:192.0.2.1", inet("::ffff:192.0.2.1", 65535)},
    {"inet:65536", Error::InvalidPort},
    {"inet:65536@::1", Error::InvalidPort},
    {"inet:", Error::InvalidPort},
    {"inet:@::1", Error::InvalidPort},
    {"inet:-1", Error::InvalidPort},
    {"inet: 25", Error::InvalidPort},
    {"Inet:25", Error::InvalidPort},
    {"localhost", Error::InvalidPort},
    {"inet:25@127.0.0.01", Error::InvalidHost},
    {"inet:25@", Error::InvalidHost},
    {"inet:25@localhost", Error::InvalidHost},
    {"inet:25@fe80::1%em0", Error::InvalidHost},
    {"inet:25@[::1]", Error::InvalidHost},
    {"inet:25@1.2.3.4@5.6.7.8", Error::InvalidHost},
    {"inet:25@0000:0000:0000:0000:0000:ffff:192.168.100.200",
     inet("0000:0000:0000:0000:0000:ffff:192.168.100.200", 25)}, // the longest form
    {"unix:/run/corvane.sock", unix_path("/run/corvane.sock")},
    {"unix:relative/c.sock", unix_path("relative/c.sock")},
    {"/run/corvane.sock", unix_path("/run/corvane.sock")},
    {"/", unix_path("/")},
    {"unix:" + k_path_103, unix_path(k_path_103)},
    {k_path_103, unix_path(k_path_103)},
    {"unix:" + k_path_104, Error::InvalidPath},
    {k_path_104, Error::InvalidPath},
    // would bind an abstract or a shortened name instead of the path written
    {"unix:", Error::InvalidPath},
    {std::string("unix:/run/a\0b", 13), Error::InvalidPath},
};

TEST(ParseListenAddress, FormsAndBounds) {
  for (const auto &c : k_address_cases) {
    SCOPED_TRACE(c.text);
    const auto got = parse_listen_address(c.text);
    ASSERT_EQ(got.has_value(), c.expected.has_value());
    if (got)
      EXPECT_EQ(*got, *c.expected);
    else
      EXPECT_EQ(error_name(got.error()), error_name(c.expected.error()));
  }
}

} // namespace
} // namespace corvane::config
