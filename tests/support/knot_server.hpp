#pragma once

#include "support/temp_dir.hpp"

#include <sys/types.h>

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace corvane::test {

// One zone served by knotd: its origin ("example.org") and the records of
// its zone file after the SOA and NS records the harness writes itself.
struct KnotZone {
  std::string origin;
  std::string records;
};

// A real Knot DNS server for end-to-end tests: writes a knot.conf and zone
// files into a temporary directory, starts `knotd` on a loopback address and
// a free port as a child process (as the calling user, no systemd), waits
// until it answers, and stops it and removes the directory when destroyed.
class KnotServer {
public:
  // Where knotd is installed, if it is.
  static std::optional<std::string> knotd_path();

  // A free port unless `port` names one (the daemon always asks port 53).
  explicit KnotServer(std::vector<KnotZone> zones, std::string address = "127.0.0.1",
                      std::optional<std::uint16_t> port = std::nullopt);
  ~KnotServer();
  KnotServer(const KnotServer &) = delete;
  KnotServer &operator=(const KnotServer &) = delete;

  const std::string &address() const { return address_; }
  std::uint16_t port() const { return port_; }
  // What knotd wrote on its standard error so far.
  std::string log() const;
  // Stops knotd; the server then answers nothing.
  void stop();

private:
  bool start_once(const std::string &knotd);
  bool answers() const;

  std::vector<KnotZone> zones_;
  std::string address_;
  TempDir temp_;
  std::string directory_ = temp_.path();
  std::optional<std::uint16_t> fixed_port_;
  std::uint16_t port_ = 0;
  pid_t child_ = -1;
};

} // namespace corvane::test
