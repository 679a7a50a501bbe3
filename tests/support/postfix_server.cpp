#include "support/postfix_server.hpp"

#include "support/process_runner.hpp"
#include "support/wait_until.hpp"

#include <pwd.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <stdexcept>

namespace corvane::test {

namespace {

using namespace std::chrono_literals;

std::string read_text(const std::string &path) {
  std::ifstream in(path);
  std::ostringstream out;
  out << in.rdbuf();
  return out.str();
}

std::string main_cf(const std::string &dir, const PostfixOptions &options) {
  std::ostringstream out;
  out << "compatibility_level = 3.6\n"
      << "queue_directory = " << dir << "/queue\n"
      << "data_directory = " << dir << "/data\n"
      << "command_directory = /usr/sbin\n"
      << "daemon_directory = /usr/lib/postfix/sbin\n"
      << "mail_owner = postfix\nsetgid_group = postdrop\n"
      << "myhostname = mx.e2e.test\nmydomain = e2e.test\nmydestination =\n"
      << "inet_interfaces = loopback-only\ninet_protocols = ipv4\n"
      << "mynetworks = 127.0.0.0/8\nsmtpd_relay_restrictions = permit_mynetworks, reject\n"
      << "relayhost = [127.0.0.1]:" << options.relay_port << "\n"
      << "smtp_dns_support_level = disabled\nsmtp_host_lookup = native\n"
      << "maillog_file = " << dir << "/maillog\nmaillog_file_prefixes = " << dir << "\n"
      << "milter_protocol = 6\nmilter_default_action = tempfail\n"
      << "alias_maps =\nalias_database =\nlocal_recipient_maps =\nbiff = no\n"
      // Deferred mail is retried soon, so a test sees it delivered or not.
      << "queue_run_delay = 1s\nminimal_backoff_time = 1s\nmaximal_backoff_time = 2s\n";
  for (const auto &line : options.main_cf)
    out << line << "\n";
  return out.str();
}

// Postfix's own master.cf without chroot (the queue holds no copies of
// system files), and one smtpd line per service.
std::string master_cf(const PostfixOptions &options) {
  std::istringstream proto(read_text("/etc/postfix/master.cf.proto"));
  std::ostringstream out;
  std::string line;
  while (std::getline(proto, line)) {
    if (line.starts_with("smtp      inet")) continue;
    std::istringstream fields(line);
    std::string service, type, is_private, unprivileged, chroot;
    if (line.empty() || line[0] == '#' || line[0] == ' ' ||
        !(fields >> service >> type >> is_private >> unprivileged >> chroot)) {
      out << line << "\n";
      continue;
    }
    std::string rest;
    std::getline(fields, rest);
    out << service << " " << type << " " << is_private << " " << unprivileged << " n" << rest
        << "\n";
  }
  for (const auto &smtpd : options.smtpd) {
    out << "127.0.0.1:" << smtpd.port << " inet n - n - - smtpd\n";
    out << "  -o smtpd_milters=" << smtpd.milters << "\n";
  }
  return out.str();
}

// Through the shell with its output on /dev/null: "start" leaves the master
// daemon running, which must not hold a pipe of ours open.
int postfix(const std::string &dir, const std::string &command) {
  const std::string line = "/usr/sbin/postfix -c " + dir + "/conf " + command + " >/dev/null 2>&1";
  return std::system(line.c_str());
}

std::optional<pid_t> master_pid(const std::string &dir) {
  std::istringstream lock(read_text(dir + "/data/master.lock"));
  long pid = 0;
  if (lock >> pid && pid > 0) return static_cast<pid_t>(pid);
  return std::nullopt;
}

} // namespace

std::optional<std::string> PostfixServer::postfix_path() {
  if (::access("/usr/sbin/postfix", X_OK) == 0 && ::getpwnam("postfix") != nullptr)
    return std::string("/usr/sbin/postfix");
  return std::nullopt;
}

PostfixServer::PostfixServer(PostfixOptions options) : options_(std::move(options)) {
  if (!postfix_path()) throw std::runtime_error("postfix: not installed");
  ::chmod(directory_.c_str(), 0755);
  for (const char *sub : {"/conf", "/queue", "/data"})
    std::filesystem::create_directories(directory_ + sub);
  const passwd *owner = ::getpwnam("postfix");
  if (::chown((directory_ + "/data").c_str(), owner->pw_uid, owner->pw_gid) != 0)
    throw std::runtime_error("postfix: chown data");
  std::ofstream(directory_ + "/conf/main.cf") << main_cf(directory_, options_);
  std::ofstream(directory_ + "/conf/master.cf") << master_cf(options_);
  if (postfix(directory_, "start") != 0) {
    const std::string output = log();
    stop();
    throw std::runtime_error("postfix: start failed:\n" + output);
  }
  if (!wait_for_log("daemon started")) throw std::runtime_error("postfix: no master\n" + log());
}

PostfixServer::~PostfixServer() { stop(); }

void PostfixServer::stop() {
  const auto master = master_pid(directory_);
  postfix(directory_, "stop");
  if (!master) return;
  if (!wait_until([&master] { return ::kill(*master, 0) != 0; }, 10s, 20ms)) {
    postfix(directory_, "abort");
    ::kill(*master, SIGKILL);
  }
}

std::string PostfixServer::log() const { return read_text(directory_ + "/maillog"); }

bool PostfixServer::wait_for_log(const std::string &text, std::chrono::milliseconds limit) const {
  return wait_until([&] { return log().find(text) != std::string::npos; }, limit, 50ms);
}

std::string PostfixServer::queue() const {
  const ProcessResult listed =
      run_process({"/usr/sbin/postqueue", {"-c", directory_ + "/conf", "-p"}, "", 30s});
  return listed.out + listed.err;
}

} // namespace corvane::test
