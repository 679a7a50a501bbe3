#pragma once

#include "config/config.hpp"

#include <cstdint>
#include <string>

namespace corvane::test {

// A loopback TCP port nothing listens on right now.
std::uint16_t free_loopback_port();

// An inet listener on 127.0.0.1 at a free port.
config::ListenerConfig
loopback_listener(config::Enforcement enforcement = config::Enforcement::none);

config::ListenerConfig unix_listener(const std::string &path,
                                     config::Enforcement enforcement = config::Enforcement::none);

} // namespace corvane::test
