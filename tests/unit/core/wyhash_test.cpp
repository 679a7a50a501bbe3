#include "core/wyhash.hpp"

#include <gtest/gtest.h>

#include <cstdio>
#include <fstream>
#include <sstream>
#include <string>

namespace corvane {
namespace {

// Every reference row: seed, length, hash in hex, hash mod 100, input.
TEST(Wyhash, MatchesEveryReferenceVector) {
  std::ifstream file(CORVANE_TESTDATA_DIR "/wyhash-final4.tsv");
  ASSERT_TRUE(file) << "missing " CORVANE_TESTDATA_DIR "/wyhash-final4.tsv";
  std::string line;
  int rows = 0;
  while (std::getline(file, line)) {
    if (line.empty() || line[0] == '#') continue;
    std::istringstream fields(line);
    std::string seed, length, hex, mod, input;
    std::getline(fields, seed, '\t');
    std::getline(fields, length, '\t');
    std::getline(fields, hex, '\t');
    std::getline(fields, mod, '\t');
    std::getline(fields, input);
    ASSERT_EQ(input.size(), std::stoul(length)) << line;
    const std::uint64_t hash = wyhash(input, std::stoull(seed));
    char text[17];
    std::snprintf(text, sizeof text, "%016llx", static_cast<unsigned long long>(hash));
    EXPECT_EQ(text, hex) << "seed " << seed << " input '" << input << "'";
    EXPECT_EQ(hash % 100, std::stoull(mod)) << input;
    ++rows;
  }
  EXPECT_GE(rows, 17);
}

} // namespace
} // namespace corvane
