#include "support/knot_server.hpp"

#include "support/dns_packet_builder.hpp"
#include "support/dns_test_socket.hpp"
#include "support/wait_until.hpp"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <stdexcept>

namespace corvane::test {

namespace {

using namespace std::chrono_literals;

// A port free on both UDP and TCP at this moment; knotd binds it right after.
std::uint16_t free_port(const std::string &address) {
  for (int attempt = 0; attempt < 50; ++attempt) {
    const int udp = bound_test_socket(test_address(address, 0), SOCK_DGRAM);
    if (udp < 0) break;
    const std::uint16_t port = bound_port(udp);
    const int tcp = bound_test_socket(test_address(address, port), SOCK_STREAM);
    ::close(udp);
    if (tcp >= 0) {
      ::close(tcp);
      return port;
    }
  }
  throw std::runtime_error("knot: no free port on " + address);
}

void write_file(const std::string &path, const std::string &text) {
  std::ofstream out(path);
  out << text;
  if (!out) throw std::runtime_error("knot: cannot write " + path);
}

std::string zone_file(const KnotZone &zone) {
  std::ostringstream out;
  out << "$ORIGIN " << zone.origin << ".\n"
      << "$TTL 300\n"
      << "@ IN SOA ns." << zone.origin << ". hostmaster." << zone.origin
      << ". 1 3600 600 86400 300\n"
      << "@ IN NS ns." << zone.origin << ".\n"
      << "ns IN A 127.0.0.1\n"
      << zone.records << "\n";
  return out.str();
}

std::string config(const std::string &directory, const std::string &address, std::uint16_t port,
                   const std::vector<KnotZone> &zones) {
  std::ostringstream out;
  out << "server:\n"
      << "    rundir: \"" << directory << "/run\"\n"
      << "    listen: " << address << "@" << port << "\n"
      << "    udp-workers: 1\n"
      << "    tcp-workers: 1\n"
      << "    background-workers: 1\n"
      << "database:\n"
      << "    storage: \"" << directory << "/storage\"\n"
      << "log:\n"
      << "  - target: stderr\n"
      << "    any: info\n"
      << "template:\n"
      << "  - id: default\n"
      << "    storage: \"" << directory << "/zones\"\n"
      << "    file: \"%s.zone\"\n"
      << "    zonefile-sync: -1\n"
      << "    journal-content: none\n"
      << "zone:\n";
  for (const auto &zone : zones)
    out << "  - domain: " << zone.origin << "\n";
  return out.str();
}

// An SOA query for the first zone; written here, not with the code under test.
std::string soa_query(const std::string &origin) {
  return PacketBuilder().header(0x4b4e, 0x0100, 1, 0).name(origin).u16(6).u16(1).str();
}

} // namespace

std::optional<std::string> KnotServer::knotd_path() {
  for (const char *candidate : {"/usr/sbin/knotd", "/usr/local/sbin/knotd", "/usr/bin/knotd"})
    if (::access(candidate, X_OK) == 0) return std::string(candidate);
  return std::nullopt;
}

KnotServer::KnotServer(std::vector<KnotZone> zones, std::string address,
                       std::optional<std::uint16_t> port)
    : zones_(std::move(zones)), address_(std::move(address)), fixed_port_(port) {
  const auto knotd = knotd_path();
  if (!knotd) throw std::runtime_error("knot: knotd is not installed");
  if (zones_.empty()) throw std::invalid_argument("knot: at least one zone");
  for (const char *sub : {"/run", "/storage", "/zones"})
    std::filesystem::create_directories(directory_ + sub);
  for (const auto &zone : zones_)
    write_file(directory_ + "/zones/" + zone.origin + ".zone", zone_file(zone));
  // Another process may take the port between the probe and knotd's bind.
  for (int attempt = 0; attempt < 3; ++attempt)
    if (start_once(*knotd)) return;
  const std::string output = log();
  stop();
  throw std::runtime_error("knot: knotd did not start:\n" + output);
}

KnotServer::~KnotServer() { stop(); }

bool KnotServer::start_once(const std::string &knotd) {
  port_ = fixed_port_ ? *fixed_port_ : free_port(address_);
  const std::string conf = directory_ + "/knot.conf";
  write_file(conf, config(directory_, address_, port_, zones_));
  const std::string log_path = directory_ + "/knotd.log";
  const std::string socket_path = directory_ + "/run/knot.sock";
  child_ = ::fork();
  if (child_ < 0) throw std::runtime_error("knot: fork failed");
  if (child_ == 0) {
    const int out = ::open(log_path.c_str(), O_WRONLY | O_CREAT | O_APPEND, 0600);
    if (out >= 0) {
      ::dup2(out, STDOUT_FILENO);
      ::dup2(out, STDERR_FILENO);
    }
    ::execl(knotd.c_str(), "knotd", "-c", conf.c_str(), "-s", socket_path.c_str(),
            static_cast<char *>(nullptr));
    ::_exit(127);
  }
  const auto exited = [this] {
    int status = 0;
    if (::waitpid(child_, &status, WNOHANG) != child_) return false;
    child_ = -1;
    return true;
  };
  if (wait_until([&] { return exited() || answers(); }, 15s, 50ms) && child_ > 0) return true;
  stop();
  return false;
}

// True once knotd answers an SOA query for the first zone with NOERROR.
bool KnotServer::answers() const {
  const TestAddress server = test_address(address_, port_);
  const int fd = ::socket(server.storage.ss_family, SOCK_DGRAM | SOCK_CLOEXEC, 0);
  if (fd < 0) return false;
  const std::string query = soa_query(zones_.front().origin);
  bool ok = false;
  if (::connect(fd, reinterpret_cast<const sockaddr *>(&server.storage), server.length) == 0 &&
      ::send(fd, query.data(), query.size(), 0) == static_cast<ssize_t>(query.size())) {
    pollfd watch{fd, POLLIN, 0};
    char reply[512];
    if (::poll(&watch, 1, 200) == 1) {
      const ssize_t n = ::recv(fd, reply, sizeof(reply), 0);
      ok = n >= 12 && (reply[3] & 0x0F) == 0 && (reply[2] & 0x04) != 0; // NOERROR, AA
    }
  }
  ::close(fd);
  return ok;
}

void KnotServer::stop() {
  if (child_ > 0) {
    ::kill(child_, SIGTERM);
    if (!wait_until([this] { return ::waitpid(child_, nullptr, WNOHANG) != 0; }, 10s, 20ms)) {
      ::kill(child_, SIGKILL);
      ::waitpid(child_, nullptr, 0);
    }
    child_ = -1;
  }
}

std::string KnotServer::log() const {
  std::ifstream in(directory_ + "/knotd.log");
  std::ostringstream out;
  out << in.rdbuf();
  return out.str();
}

} // namespace corvane::test
