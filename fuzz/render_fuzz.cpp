// Rendering of every command with arbitrary field values (any 64-bit number for a numeric
// field, any bytes for a text field, any subset of fields present).
//
// Checks: the line is the word, then per present field its prefix and value, nothing else
// (by length/prefix accounting, for any texts); when no text holds ' ' or '=', splitting the
// line at ' ' gives back the word, each positional value and each Key=value in field order;
// numbers read back as the number set, booleans as 0/1; a sink that refuses a write stops
// rendering there with exactly the pieces before it written; copies render the same;
// render_into stays inside max_line_size; the line built in the client's reused buffer, and
// any raw text in a fresh one, sent with its tag, arrives byte for byte.
#include <fuzzer/FuzzedDataProvider.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "commands/core/wire_line.hpp"
#include "net/socket.hpp"
#include "commands/core/render.hpp"
#include "fuzz_check.hpp"

using namespace qv_fuzz;

namespace {

struct Expected {
  std::size_t field;
  std::string value;  // as it must appear on the line
};

// Accepts `budget` appends, then refuses.
struct LimitedSink {
  std::string out;
  std::size_t budget;
  std::size_t appends = 0;
  bool append(std::string_view piece) {
    if (appends == budget) return false;
    ++appends;
    out.append(piece);
    return true;
  }
};

std::vector<std::string_view> split_spaces(std::string_view line) {
  std::vector<std::string_view> parts;
  std::size_t start = 0;
  for (;;) {
    const std::size_t space = line.find(' ', start);
    parts.push_back(line.substr(start, space == std::string_view::npos ? space : space - start));
    if (space == std::string_view::npos) return parts;
    start = space + 1;
  }
}

// Sends `line` tagged over a socket pair and returns what the other end read.
std::string tagged_send(qv::LineBuffer& line, std::uint64_t tag) {
  int pair[2];
  check(::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, pair) == 0, "socketpair");
  // Half through the buffer, half as a text beside its suffix: the two ways a line leaves.
  qv::SendResult sent;
  if (tag % 2 == 0) {
    qv::append_tag_suffix(line, tag);
    sent = qv::send_all(pair[0], line.data(), line.size());
  } else {
    sent = qv::send_with_suffix(pair[0], line.view(), qv::tag_suffix(tag).view());
  }
  ::close(pair[0]);
  check(sent.outcome == qv::SendOutcome::Ok, "the tagged send succeeds");
  std::string got;
  char buffer[4096];
  for (ssize_t n; (n = ::read(pair[1], buffer, sizeof buffer)) > 0;)
    got.append(buffer, static_cast<std::size_t>(n));
  ::close(pair[1]);
  return got;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  FuzzedDataProvider in(data, size);
  const std::size_t variant = in.ConsumeIntegralInRange<std::size_t>(0, qv::kVariantCount - 1);
  const qv::Variant& entry = qv::kCatalogue[variant];
  qv::Command command(variant);

  std::vector<Expected> expected;
  bool splittable = true;
  for (std::size_t i = 0; i < entry.field_count; ++i) {
    if (!in.ConsumeBool()) continue;
    const qv::Field& field = entry.fields[i];
    // Setting a field twice keeps the last value.
    const int times = in.ConsumeBool() ? 2 : 1;
    std::string value;
    for (int t = 0; t < times; ++t) {
      if (qv::holds_text(field.kind)) {
        value = in.ConsumeRandomLengthString(48);
        check(command.set_text(i, value), "a short text fits");
      } else {
        const auto number = in.ConsumeIntegral<std::int64_t>();
        command.set_number(i, number);
        value = field.kind == qv::Kind::Bool ? (number != 0 ? "1" : "0") : std::to_string(number);
      }
    }
    if (value.find_first_of(" =") != std::string::npos) splittable = false;
    expected.push_back({i, value});
  }

  std::string line = "kept:";  // append_line appends
  qv::append_line(command, line);
  check(line.starts_with("kept:"), "append_line keeps what the string held");
  line.erase(0, 5);
  check_eq(qv::to_string(command), line, "to_string and append_line agree");
  const qv::Command copy = command;
  check_eq(qv::to_string(copy), line, "a copy renders the same");
  // Into a buffer of exactly the promised size, so that AddressSanitizer sees any overrun.
  const std::size_t bound = qv::max_line_size(command);
  check(line.size() <= bound, "max_line_size is an upper bound");
  const auto buffer = std::make_unique<char[]>(bound);
  const std::size_t length = qv::render_into(command, buffer.get());
  check_eq(std::string_view(buffer.get(), length), line, "render_into");

  // Accounting: word, then prefix + value per present field, in order, and nothing more.
  std::vector<std::string> pieces{std::string(entry.name)};
  for (const Expected& e : expected) {
    pieces.emplace_back(entry.fields[e.field].prefix);
    pieces.push_back(e.value);
  }
  std::size_t at = 0;
  for (const std::string& piece : pieces) {
    if (line.compare(at, piece.size(), piece) != 0)
      fail("line does not continue with the next piece", std::string_view(line).substr(at), piece);
    at += piece.size();
  }
  if (at != line.size()) fail("line has bytes after the last field", line.substr(at));

  // Split check: the line read back the way a server reads it.
  if (splittable) {
    const auto words = split_spaces(line);
    if (words.size() != 1 + expected.size())
      fail("word count", std::to_string(words.size()), std::to_string(1 + expected.size()));
    check_eq(words[0], entry.name, "first word is the command word");
    for (std::size_t k = 0; k < expected.size(); ++k) {
      const qv::Field& field = entry.fields[expected[k].field];
      std::string_view word = words[k + 1];
      if (field.prefix != " ") {
        const std::string_view key = field.prefix.substr(1, field.prefix.size() - 2);
        const std::size_t eq = word.find('=');
        if (eq == std::string_view::npos) fail("keyed value without '='", word);
        check_eq(word.substr(0, eq), key, "key");
        word.remove_prefix(eq + 1);
      }
      check_eq(word, expected[k].value, "value");
      if (!qv::holds_text(field.kind) && field.kind != qv::Kind::Bool) {
        char* end = nullptr;
        const std::string digits(word);
        const long long back = std::strtoll(digits.c_str(), &end, 10);
        check(*end == '\0' && std::to_string(back) == digits, "number reads back");
      }
    }
  }

  // The client's send path: the line built in its reused buffer, tagged and written to a
  // socket; the peer must read exactly the line, " COMMANDTAG=<tag>" and a line feed.
  const auto tag = in.ConsumeIntegral<std::uint64_t>();
  static qv::LineBuffer client_line;  // kept between inputs, as a client keeps it between calls
  client_line.clear();
  client_line.commit(qv::render_into(command, client_line.prepare(qv::max_line_size(command))));
  check_eq(client_line.view(), line, "line built in the client's buffer");
  check_eq(tagged_send(client_line, tag), line + " COMMANDTAG=" + std::to_string(tag) + "\n",
           "tagged line on the wire");

  // send_raw_command's path: any text, even empty, into a fresh buffer, tagged and sent.
  const std::string raw = in.ConsumeRandomLengthString(32);
  qv::LineBuffer raw_line;
  raw_line.assign(raw);
  check_eq(tagged_send(raw_line, tag), raw + " COMMANDTAG=" + std::to_string(tag) + "\n",
           "raw line on the wire");

  // A sink refusing its k-th write: rendering reports it and wrote exactly the pieces before.
  const std::size_t budget = in.ConsumeIntegralInRange<std::size_t>(0, pieces.size());
  LimitedSink sink{{}, budget};
  const bool completed = qv::render(command, sink);
  check(completed == (budget == pieces.size()), "render reports a refused write");
  std::string written;
  for (std::size_t k = 0; k < budget; ++k) written += pieces[k];
  check_eq(sink.out, written, "pieces written before the refusal");
  return 0;
}
