#include "log/log.hpp"

#include "core/ascii.hpp"
#include "core/clock.hpp"

#include "platform/syslog_path.hpp"

#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

namespace corvane::log {

namespace {

LogSettings make_settings(std::uint8_t level, std::string_view ident) noexcept {
  LogSettings settings;
  settings.syslog = false;
  settings.facility = k_facility_mail;
  settings.level = level;
  settings.set_ident(ident);
  return settings;
}

LogSettings g_settings = make_settings(6, "pellwyn");
const char *g_syslog_path = nullptr;

// Each thread has its own syslog connection, so logging shares no descriptor
// and takes no lock.
thread_local int t_log_socket = -1;
thread_local pid_t t_process_id = ::getpid();

int open_syslog_socket(const char *path) noexcept {
  const int fd = ::socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
  if (fd < 0) return -1;
  sockaddr_un address{};
  address.sun_family = AF_UNIX;
  const std::size_t path_length = std::strlen(path);
  const bool ok =
      path_length < sizeof(address.sun_path) &&
      (std::memcpy(address.sun_path, path, path_length),
       ::connect(fd, reinterpret_cast<const sockaddr *>(&address), sizeof(address)) == 0);
  if (!ok) {
    ::close(fd);
    return -1;
  }
  return fd;
}

// A byte below 0x20 or DEL would let a message break the line.
void clean_control_bytes(char *bytes, std::size_t length) noexcept {
  for (std::size_t i = 0; i < length; ++i)
    if (is_ascii_control(bytes[i])) bytes[i] = '_';
}

void write_ignoring_result(int fd, const char *bytes, std::size_t length) noexcept {
  [[maybe_unused]] const ssize_t written = ::write(fd, bytes, length);
}

const char *syslog_path() noexcept {
  return g_syslog_path != nullptr ? g_syslog_path : platform::syslog_socket_path();
}

// The socket of a thread whose syslog daemon went away is looked for again
// at most this often, so a missing daemon costs no connect per line.
constexpr std::int64_t k_reopen_interval_ms = 1000;
thread_local std::int64_t t_last_open_ms = 0;

void reopen_syslog_socket() noexcept {
  if (t_log_socket >= 0) ::close(t_log_socket);
  t_log_socket = open_syslog_socket(syslog_path());
  t_last_open_ms = realtime_ms();
}

// A restarted syslog daemon leaves the thread's socket connected to nothing:
// the write is refused. One new connection and one more write bring the line
// (and every later one) to the new daemon. When the daemon is not back yet,
// the thread tries again with a later line, at most once a second.
void send_to_syslog(const char *bytes, std::size_t length) noexcept {
  if (t_log_socket < 0) {
    if (realtime_ms() - t_last_open_ms < k_reopen_interval_ms) return;
    reopen_syslog_socket();
    if (t_log_socket < 0) return;
  }
  if (::write(t_log_socket, bytes, length) >= 0) return;
  if (errno != ECONNREFUSED && errno != ENOTCONN) return;
  reopen_syslog_socket();
  if (t_log_socket >= 0) write_ignoring_result(t_log_socket, bytes, length);
}

} // namespace

void LogSettings::set_ident(std::string_view ident) noexcept {
  ident_len_ = std::min(ident.size(), ident_.size());
  std::copy_n(ident.data(), ident_len_, ident_.data());
}

LogSettings initial_log_settings() noexcept { return make_settings(6, "pellwyn"); }

LogSettings check_tool_log_settings() noexcept { return make_settings(3, "corvane-check"); }

void install_log_settings(const LogSettings &settings) noexcept {
  g_settings = settings;
  g_settings.facility &= 0x1F;
  g_settings.level &= 0x07;
}

const LogSettings &current_log_settings() noexcept { return g_settings; }

void set_syslog_socket_path(const char *path) noexcept { g_syslog_path = path; }

void open_log_connection() noexcept {
  t_process_id = ::getpid();
  close_log_connection();
  if (!g_settings.syslog) return;
  reopen_syslog_socket();
}

void close_log_connection() noexcept {
  if (t_log_socket >= 0) ::close(t_log_socket);
  t_log_socket = -1;
}

LogLine::LogLine(Severity severity) noexcept {
  append("<");
  append_unsigned(static_cast<unsigned>(g_settings.facility) * 8u +
                  static_cast<unsigned>(severity));
  append(">");
  append(g_settings.ident());
  append("[");
  append_signed(t_process_id);
  append("]: ");
}

void LogLine::append(std::string_view text) noexcept {
  const std::size_t room = k_line_size - length_;
  const std::size_t count = std::min(room, text.size());
  std::copy_n(text.data(), count, buffer_.data() + length_);
  length_ += count;
}

void LogLine::append_unsigned(std::uint64_t value) noexcept {
  char digits[20];
  std::size_t start = sizeof(digits);
  do {
    digits[--start] = static_cast<char>('0' + value % 10);
    value /= 10;
  } while (value != 0);
  append({digits + start, sizeof(digits) - start});
}

void LogLine::append_signed(std::int64_t value) noexcept {
  if (value >= 0) return append_unsigned(static_cast<std::uint64_t>(value));
  append("-");
  // Negate in unsigned arithmetic so the most negative value is exact.
  append_unsigned(0u - static_cast<std::uint64_t>(value));
}

void LogLine::emit() noexcept {
  clean_control_bytes(buffer_.data(), length_);
  if (g_settings.syslog) return send_to_syslog(buffer_.data(), length_);
  std::string_view line = text();
  if (!line.empty() && line.front() == '<') {
    const std::size_t close = line.find('>');
    if (close != std::string_view::npos) line.remove_prefix(close + 1);
  }
  // Text and newline in one write: lines of different threads never
  // interleave between the two.
  buffer_[length_] = '\n';
  write_ignoring_result(STDERR_FILENO, line.data(), line.size() + 1);
}

void write_error_name(LogLine &line, Error error) noexcept {
  line.append("error.");
  line.append(error_name(error));
}

void write_safe_field(LogLine &line, std::string_view bytes) noexcept {
  if (bytes.empty()) return line.append("-");
  char chunk[64];
  while (!bytes.empty()) {
    const std::size_t count = std::min(bytes.size(), sizeof(chunk));
    for (std::size_t i = 0; i < count; ++i) {
      const auto byte = static_cast<unsigned char>(bytes[i]);
      chunk[i] = (byte >= 33 && byte <= 126) ? bytes[i] : '_';
    }
    line.append({chunk, count});
    bytes.remove_prefix(count);
  }
}

} // namespace corvane::log
