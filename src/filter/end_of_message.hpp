#pragma once

#include "filter/filter_settings.hpp"
#include "milter/session.hpp"

namespace corvane::filter {

inline constexpr std::string_view k_forged_method = "dmarc";

// The daemon's end-of-message hook: removes Authentication-Results headers
// that impersonate this host, evaluates the message, logs the summary line
// and returns the reply ('c', 't', or milter::k_final_reply_queued after a
// rejection).
char handle_end_of_message(milter::MilterSession &session, const FilterSettings &settings);

// Asks the MTA to delete every Authentication-Results header that claims
// AuthservID and carries a dmarc result (every claiming one with
// StripAuthResults), and drops them from the headers the evaluation reads.
void remove_forged_results(milter::MilterSession &session, const FilterSettings &settings);

} // namespace corvane::filter
