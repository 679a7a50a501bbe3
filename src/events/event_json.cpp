#include "events/event_json.hpp"

#include "events/json_escape.hpp"

namespace corvane::events {

namespace {

// Writes the record through `sink`, which takes literal text (`raw`) and
// string values (`value`, escaped); the same walk measures and writes.
template <typename Sink> class RecordWriter {
public:
  explicit RecordWriter(Sink &sink) : sink_(sink) {}

  void text(std::string_view key, std::string_view value) {
    member(key);
    sink_.raw("\"");
    sink_.value(value);
    sink_.raw("\"");
  }
  void boolean(std::string_view key, bool flag) {
    member(key);
    sink_.raw(flag ? "true" : "false");
  }
  void close() { sink_.raw("}"); }

private:
  void member(std::string_view key) {
    sink_.raw(first_ ? "{\"" : ",\"");
    first_ = false;
    sink_.raw(key);
    sink_.raw("\":");
  }

  Sink &sink_;
  bool first_ = true;
};

template <typename Sink> void write_event(const EvaluationEvent &event, Sink &sink) {
  RecordWriter<Sink> record(sink);
  record.text("client_ip", event.client_ip);
  record.text("header_from", event.header_from);
  record.text("from_address", event.from_address);
  record.text("envelope_from", event.envelope_from);
  record.text("policy", event.policy);
  record.text("disposition", event.disposition);
  record.text("dmarc_result", event.dmarc_result);
  record.text("spf_result", event.spf_result);
  record.boolean("spf_aligned", event.spf_aligned);
  record.text("dkim_result", event.dkim_result);
  record.text("dkim_domain", event.dkim_domain);
  record.boolean("dkim_aligned", event.dkim_aligned);
  if (event.policy_override) record.text("policy_override", "trusted_forwarder");
  record.close();
}

struct Measure {
  std::size_t length = 0;
  void raw(std::string_view text) noexcept { length += text.size(); }
  void value(std::string_view text) noexcept { length += escaped_json_length(text); }
};

struct Append {
  std::pmr::string &out;
  void raw(std::string_view text) { out.append(text); }
  void value(std::string_view text) { escape_json(text, out); }
};

} // namespace

Result<std::pmr::string> format_event_json(const EvaluationEvent &event,
                                           std::pmr::memory_resource *memory) noexcept {
  return catch_out_of_memory([&]() -> Result<std::pmr::string> {
    Measure measure;
    write_event(event, measure);
    std::pmr::string json(memory);
    json.reserve(measure.length);
    Append append{json};
    write_event(event, append);
    return json;
  });
}

} // namespace corvane::events
