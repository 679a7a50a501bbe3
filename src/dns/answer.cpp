#include "dns/answer.hpp"

namespace corvane::dns {

AnswerList copy_answers(const AnswerList &answers, std::pmr::memory_resource *allocator) {
  AnswerList copy(allocator);
  copy.reserve(answers.size());
  for (const auto &answer : answers)
    copy.emplace_back(answer);
  return copy;
}

} // namespace corvane::dns
