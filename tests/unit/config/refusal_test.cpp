#include "config/config_keys.hpp"
#include "config_text.hpp"
#include "support/stderr_capture.hpp"

#include <gtest/gtest.h>

#include <string>

namespace corvane::config {
namespace {

using test::config_from_text;
using test::log_prefix;

struct RefusalCase {
  const char *name;
  std::string text;
  Error error;
  // Standard error as the operator sees it; "{P}" stands for the log prefix.
  std::string seen;
};

std::string with_prefix(std::string seen) {
  for (std::size_t at; (at = seen.find("{P}")) != std::string::npos;)
    seen.replace(at, 3, log_prefix());
  return seen;
}

const RefusalCase k_refusal_cases[] = {
    {"listener key in global", "Socket = 25\n", Error::InvalidConfiguration,
     "{P}config: [global] unrecognized key \"Socket\" (typo?); refusing to start\n"
     "config: [global] unrecognized key \"Socket\" (typo?); refusing to start\n"
     "{P}config parse error: error.InvalidConfiguration\n"},
    {"unknown key in another section", "[other]\nMaxHeaders = 1\nuser = x\n",
     Error::InvalidConfiguration,
     "{P}config: [other] unrecognized key \"user\" (typo?); refusing to start\n"
     "config: [other] unrecognized key \"user\" (typo?); refusing to start\n"
     "{P}config parse error: error.InvalidConfiguration\n"},
    {"global key in a listener section", "[listener:mx]\nSocket = 25\nMaxHeaders = 9\n",
     Error::InvalidConfiguration,
     "{P}config: [listener:mx] key \"MaxHeaders\" is a global key with no effect here; move it "
     "to [global]. Refusing to start\n"
     "config: [listener:mx] key \"MaxHeaders\" is a global key with no effect here; move it "
     "to [global]. Refusing to start\n"
     "{P}config parse error: error.InvalidConfiguration\n"},
    {"unknown key in a listener section", "[listener:mx]\nsocket = 25\n",
     Error::InvalidConfiguration,
     "{P}config: [listener:mx] unrecognized key \"socket\" (typo?); refusing to start\n"
     "config: [listener:mx] unrecognized key \"socket\" (typo?); refusing to start\n"
     "{P}config parse error: error.InvalidConfiguration\n"},
    {"the first bad key in file order is named", "[b]\nX = 1\n[global]\nY = 1\n",
     Error::InvalidConfiguration,
     "{P}config: [global] unrecognized key \"Y\" (typo?); refusing to start\n"
     "config: [global] unrecognized key \"Y\" (typo?); refusing to start\n"
     "{P}config parse error: error.InvalidConfiguration\n"},
    {"control bytes are shown as _ in both lines", "Bad\x1b[2J = 1\n", Error::InvalidConfiguration,
     "{P}config: [global] unrecognized key \"Bad_[2J\" (typo?); refusing to start\n"
     "config: [global] unrecognized key \"Bad_[2J\" (typo?); refusing to start\n"
     "{P}config parse error: error.InvalidConfiguration\n"},
    {"UMask not octal", "UMask = 8\n", Error::InvalidMode,
     "{P}config parse error: error.InvalidMode\n"},
    {"UMask empty", "UMask =\n", Error::InvalidMode, "{P}config parse error: error.InvalidMode\n"},
    {"UMask beyond 16 bits", "UMask = 200000\n", Error::InvalidMode,
     "{P}config parse error: error.InvalidMode\n"},
    {"UMask is checked before the listeners", "UMask = x\n[listener:a]\n", Error::InvalidMode,
     "{P}config parse error: error.InvalidMode\n"},
    {"listener without Socket", "[listener:mx]\nEnforcement = reject\n",
     Error::MissingListenerSocket,
     "{P}config: [listener:mx] has no Socket setting -- a listener section must name an "
     "address\n"
     "{P}config parse error: error.MissingListenerSocket\n"},
    {"section without Socket is written as it stands", "[listener:a b]\n",
     Error::MissingListenerSocket,
     "{P}config: [listener:a b] has no Socket setting -- a listener section must name an "
     "address\n"
     "{P}config parse error: error.MissingListenerSocket\n"},
    {"unreadable Socket", "[listener:mx]\nSocket = inet:25@127.0.0.01\n",
     Error::InvalidListenerSocket,
     "{P}config: [listener:mx] Socket=inet:25@127.0.0.01 is not a valid listen address "
     "(error.InvalidHost) -- expected inet:port@ip or unix:/path\n"
     "{P}config parse error: error.InvalidListenerSocket\n"},
    {"Socket with spaces is written as a safe field", "[listener: m x ]\nSocket = 1 2\n",
     Error::InvalidListenerSocket,
     "{P}config: [listener:_m_x] Socket=1_2 is not a valid listen address (error.InvalidPort) "
     "-- expected inet:port@ip or unix:/path\n"
     "{P}config parse error: error.InvalidListenerSocket\n"},
    {"empty Socket", "[listener:mx]\nSocket =\n", Error::InvalidListenerSocket,
     "{P}config: [listener:mx] Socket=- is not a valid listen address (error.InvalidPort) -- "
     "expected inet:port@ip or unix:/path\n"
     "{P}config parse error: error.InvalidListenerSocket\n"},
    {"Enforcement compared with case", "[listener:mx]\nSocket = 25\nEnforcement = Reject\n",
     Error::InvalidEnforcement,
     "{P}config: [listener:mx] Enforcement \"Reject\" is not none|quarantine|reject; refusing "
     "to start\n"
     "config: [listener:mx] Enforcement \"Reject\" is not none|quarantine|reject; refusing to "
     "start\n"
     "{P}config parse error: error.InvalidEnforcement\n"},
    {"listeners are checked in section order",
     "[listener:a]\nSocket = 25\nEnforcement =\n[listener:b]\n", Error::InvalidEnforcement,
     "{P}config: [listener:a] Enforcement \"\" is not none|quarantine|reject; refusing to start\n"
     "config: [listener:a] Enforcement \"\" is not none|quarantine|reject; refusing to start\n"
     "{P}config parse error: error.InvalidEnforcement\n"},
    {"RejectText without %s", "RejectText = rejected\n", Error::InvalidRejectText,
     "{P}config: RejectText must contain %s exactly once (the Author Domain); refusing to "
     "start\n"
     "config: RejectText must contain %s (the Author Domain); refusing to start\n"
     "{P}config parse error: error.InvalidRejectText\n"},
    {"RejectText is checked before QuarantineHeader",
     "RejectText = % s\nQuarantineHeader = X Tag\n", Error::InvalidRejectText,
     "{P}config: RejectText must contain %s exactly once (the Author Domain); refusing to "
     "start\n"
     "config: RejectText must contain %s (the Author Domain); refusing to start\n"
     "{P}config parse error: error.InvalidRejectText\n"},
    {"QuarantineHeader with a colon", "QuarantineHeader = X-Tag:\n", Error::InvalidQuarantineHeader,
     "{P}config: QuarantineHeader \"X-Tag:\" is not a valid header field name; refusing to "
     "start\n"
     "config: QuarantineHeader \"X-Tag:\" is not a valid header field name; refusing to start\n"
     "{P}config parse error: error.InvalidQuarantineHeader\n"},
    {"QuarantineHeader with a space", "QuarantineHeader = X Tag\n", Error::InvalidQuarantineHeader,
     "{P}config: QuarantineHeader \"X Tag\" is not a valid header field name; refusing to start\n"
     "config: QuarantineHeader \"X Tag\" is not a valid header field name; refusing to start\n"
     "{P}config parse error: error.InvalidQuarantineHeader\n"},
    {"QuarantineHeader empty", "QuarantineHeader =\n", Error::InvalidQuarantineHeader,
     "{P}config: QuarantineHeader \"\" is not a valid header field name; refusing to start\n"
     "config: QuarantineHeader \"\" is not a valid header field name; refusing to start\n"
     "{P}config parse error: error.InvalidQuarantineHeader\n"},
    {"QuarantineHeader with a byte above 126", "QuarantineHeader = X-\xC3\xA9\n",
     Error::InvalidQuarantineHeader,
     "{P}config: QuarantineHeader \"X-\xC3\xA9\" is not a valid header field name; refusing to "
     "start\n"
     "config: QuarantineHeader \"X-\xC3\xA9\" is not a valid header field name; refusing to "
     "start\n"
     "{P}config parse error: error.InvalidQuarantineHeader\n"},
};

TEST(ConfigRefusals, LinesOnStandardErrorInOrder) {
  for (const auto &c : k_refusal_cases) {
    SCOPED_TRACE(c.name);
    std::string seen;
    Result<Config> config = Error::Unexpected;
    {
      corvane::test::StderrCapture capture;
      config = config_from_text(c.text);
      seen = capture.text();
    }
    ASSERT_FALSE(config.has_value());
    EXPECT_EQ(error_name(config.error()), error_name(c.error));
    EXPECT_EQ(seen, with_prefix(c.seen));
  }
}

// The logged line is cut at the logger's 1024 bytes; the bare copy keeps the
// whole text.
TEST(ConfigRefusals, LongKeyIsCopiedWhole) {
  const std::string key(3000, 'K');
  const std::string text =
      "config: [global] unrecognized key \"" + key + "\" (typo?); refusing to start";
  std::string seen;
  {
    corvane::test::StderrCapture capture;
    EXPECT_FALSE(config_from_text(key + " = 1\n").has_value());
    seen = capture.text();
  }
  const std::string logged = (log_prefix() + text).substr(0, log::k_line_size - 4) + "\n";
  EXPECT_EQ(seen, logged + text + "\n" + log_prefix() +
                      "config parse error: error.InvalidConfiguration\n");
}

TEST(ConfigRefusals, AcceptedFilesWriteNothing) {
  const char *accepted[] = {
      "[other]\nMaxHeaders = 1\n",
      "[listener:mx]\nSocket = 25\nEnforcement = quarantine\n[global]\nUMask = 027\n",
      "QuarantineHeader = !~\nRejectText = %s\n",
      "[Listener:x]\nSyslog = no\n",
  };
  for (const char *text : accepted) {
    SCOPED_TRACE(text);
    corvane::test::StderrCapture capture;
    EXPECT_TRUE(config_from_text(text).has_value());
    EXPECT_EQ(capture.text(), "");
  }
}

} // namespace
} // namespace corvane::config
