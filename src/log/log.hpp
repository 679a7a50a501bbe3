#pragma once

#include "core/error.hpp"

#include <array>
#include <concepts>
#include <cstddef>
#include <cstdint>
#include <string_view>

namespace corvane::log {

// Syslog severities; no others are used.
enum class Severity : std::uint8_t { err = 3, warning = 4, info = 6, debug = 7 };

inline constexpr std::uint8_t k_facility_mail = 2;
inline constexpr std::size_t k_line_size = 1024;
inline constexpr std::size_t k_ident_size = 64;

class LogSettings {
public:
  bool syslog = false;
  std::uint8_t facility = k_facility_mail; // 5 bits
  std::uint8_t level = 6;                  // highest severity written

  // Keeps at most 64 bytes of the ident.
  void set_ident(std::string_view ident) noexcept;
  std::string_view ident() const noexcept { return {ident_.data(), ident_len_}; }

private:
  std::array<char, k_ident_size> ident_{};
  std::size_t ident_len_ = 0;
};

// What every process starts with: standard error, mail, info, "pellwyn".
LogSettings initial_log_settings() noexcept;
// What corvane-check installs first: standard error, mail, err, "corvane-check".
LogSettings check_tool_log_settings() noexcept;

// Settings are installed before other threads exist and read without a lock.
void install_log_settings(const LogSettings &settings) noexcept;
const LogSettings &current_log_settings() noexcept;

inline bool severity_enabled(Severity severity) noexcept {
  return static_cast<unsigned>(severity) <= current_log_settings().level;
}

// For the calling thread: record the process id and, with syslog on, open a
// non-blocking datagram socket to the local syslog socket. Replaces any socket
// the thread had; failures leave the thread without one, silently.
void open_log_connection() noexcept;
void close_log_connection() noexcept;

// Tests point the syslog sink at a socket of their own; nullptr restores the
// platform's path. Takes effect at the next open_log_connection.
void set_syslog_socket_path(const char *path) noexcept;

// One line under construction, in a fixed buffer: what does not fit is cut.
class LogLine {
public:
  explicit LogLine(Severity severity) noexcept;
  LogLine(const LogLine &) = delete;
  LogLine &operator=(const LogLine &) = delete;

  void append(std::string_view text) noexcept;
  void append_unsigned(std::uint64_t value) noexcept;
  void append_signed(std::int64_t value) noexcept;

  // Cleans control bytes and hands the line to the configured sink.
  void emit() noexcept;

  std::string_view text() const noexcept { return {buffer_.data(), length_}; }

private:
  // One byte past the line is kept for the newline of the standard-error
  // sink, so a line and its newline leave in one write.
  std::array<char, k_line_size + 1> buffer_;
  std::size_t length_ = 0;
};

// Pieces of a message.
struct ErrorName {
  Error error;
};
struct SafeField {
  std::string_view bytes;
};

// "error." followed by the error's name: error.FileNotFound.
void write_error_name(LogLine &line, Error error) noexcept;
// "-" for an empty value; otherwise every byte outside 33..126 becomes "_".
void write_safe_field(LogLine &line, std::string_view bytes) noexcept;

inline void write_piece(LogLine &line, std::string_view text) noexcept { line.append(text); }
inline void write_piece(LogLine &line, const char *text) noexcept { line.append(text); }
inline void write_piece(LogLine &line, ErrorName piece) noexcept {
  write_error_name(line, piece.error);
}
inline void write_piece(LogLine &line, SafeField piece) noexcept {
  write_safe_field(line, piece.bytes);
}
template <std::integral T>
requires(!std::same_as<T, bool> && !std::same_as<T, char>) void write_piece(LogLine &line,
                                                                            T value) noexcept {
  if constexpr (std::signed_integral<T>)
    line.append_signed(value);
  else
    line.append_unsigned(value);
}

// Writes one line or nothing; never fails. Below the level nothing is formatted.
template <typename... Pieces>
void log_message(Severity severity, const Pieces &...pieces) noexcept {
  if (!severity_enabled(severity)) return;
  LogLine line(severity);
  (write_piece(line, pieces), ...);
  line.emit();
}

} // namespace corvane::log
