#pragma once

#include "dns/resolver.hpp"

namespace corvane::dns {

// The settings every worker thread's resolver is built from. Installed once
// at start-up, before any worker thread exists; read without a lock after.
void install_thread_resolver_settings(const ResolverSettings &settings);

// The calling thread's resolver, created on the first call. A nameserver text
// that is not an address is left out with an err line. Running out of memory
// while creating it stops the process with a message naming what failed.
Resolver &thread_resolver();

// Destroys the calling thread's resolver with its cache, so that the next
// thread_resolver call builds a new one (empty cache, rotation start 0).
void drop_thread_resolver() noexcept;

} // namespace corvane::dns
