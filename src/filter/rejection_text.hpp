#pragma once

#include "core/result.hpp"

#include <memory_resource>
#include <string>
#include <string_view>

namespace corvane::filter {

// The text that follows "550 5.7.1 " in the rejection: RejectText with every
// "%s" (left to right; inserted text is not scanned again) replaced by the
// Author Domain. Each byte of the domain outside '!'..'~' becomes '?', so a
// CR or LF cannot end the SMTP reply early; every other '%' of the result is
// doubled, because Sendmail reads the text as a format string and Postfix
// turns "%%" back into "%". Fails only with OutOfMemory.
Result<std::pmr::string> rejection_text(std::string_view reject_text,
                                        std::string_view author_domain,
                                        std::pmr::memory_resource *allocator);

} // namespace corvane::filter
