#pragma once

#include "milter/hooks.hpp"

namespace corvane::milter {

// What the protocol engine needs from whoever owns a connection: the hook
// table, closing a connection, and a report when its socket becomes
// writable again. The worker is the owner in the daemon; a test or fuzz
// harness can own a session on its own.
class ConnectionOwner {
public:
  virtual const MilterHooks &hooks() const noexcept = 0;
  // Removes and frees the session of `socket` and closes the socket; false
  // when there is none.
  virtual bool close_connection(int socket) noexcept = 0;
  // Arms one write-readiness report for the connection.
  virtual void queue_write_interest(int socket) noexcept = 0;

protected:
  ~ConnectionOwner() = default;
};

} // namespace corvane::milter
