#pragma once

#include "dns/answer.hpp"

#include <cstddef>
#include <span>
#include <string_view>

namespace corvane::dns {

// Whether `reply` is the reply to `query` (as build_query made it): the same
// ID, the QR bit set, and the question asked (name compared without regard to
// ASCII case, type and class exactly). A reply without a question (QDCOUNT 0,
// as some servers send FORMERR and REFUSED) is taken on its ID alone. Anything
// else, a reply cut short inside its question included, answers another query
// or none, and a stub resolver keeps waiting for the one it asked for.
bool answers_query(std::span<const std::byte> query, std::span<const std::byte> reply) noexcept;

// Drops the answers whose owner is neither the query name nor a name the
// query name leads to through the CNAME records of the same reply (followed
// from the query name, at most 16 of them): records about other names are
// not the answer to this question, whatever a server put beside it.
void keep_answers_to(std::string_view query_name, AnswerList &answers);

} // namespace corvane::dns
