#include "mrk_reader.h"

#include <stdexcept>

#include "record_builder.h"

namespace quillet_test {

namespace {

std::string Unblank(const std::string& text) {
  std::string out = text;
  for (char& c : out) {
    if (c == '\\') c = ' ';
  }
  return out;
}

std::string UnescapeDollar(const std::string& text) {
  static const std::string kDollar = "{dollar}";
  std::string out;
  for (std::size_t i = 0; i < text.size();) {
    if (text.compare(i, kDollar.size(), kDollar) == 0) {
      out += '$';
      i += kDollar.size();
    } else {
      out += text[i++];
    }
  }
  return out;
}

// 00X tags hold control fields; every other tag a data field.
bool IsControlTag(const std::string& tag) { return tag[0] == '0' && tag[1] == '0'; }

std::string DataFieldContent(const std::string& text) {
  if (text.size() < 2) throw std::invalid_argument("data field without indicators");
  std::string content = Unblank(text.substr(0, 2));
  std::size_t pos = 2;
  if (pos < text.size() && text[pos] != '$') {
    throw std::invalid_argument("data field must continue with $");
  }
  while (pos < text.size()) {
    const std::size_t next = text.find('$', pos + 1);
    const std::string piece =
        text.substr(pos + 1, next == std::string::npos ? std::string::npos : next - pos - 1);
    if (piece.empty()) throw std::invalid_argument("subfield without code");
    content += kSubfieldDelimiter;
    content += piece[0];
    content += UnescapeDollar(piece.substr(1));
    pos = next == std::string::npos ? text.size() : next;
  }
  return content;
}

}  // namespace

std::vector<std::string> CompileMrk(std::istream& in) {
  std::vector<std::string> records;
  std::vector<FieldSpec> fields;
  LeaderSpec leader;
  bool open = false;
  std::string line;
  int number = 0;
  auto finish = [&] {
    if (open) records.push_back(BuildRecord(fields, leader));
    fields.clear();
    leader = LeaderSpec();
    open = false;
  };
  while (std::getline(in, line)) {
    ++number;
    if (!line.empty() && line.back() == '\r') line.pop_back();
    if (line.empty()) {
      finish();
      continue;
    }
    try {
      if (line.size() < 6 || line[0] != '=' || line.compare(4, 2, "  ") != 0) {
        throw std::invalid_argument("expected =TAG followed by two blanks");
      }
      const std::string tag = line.substr(1, 3);
      const std::string text = line.substr(6);
      if (tag == "LDR") {
        if (open) throw std::invalid_argument("leader inside a record");
        if (text.size() != 24) throw std::invalid_argument("leader must be 24 characters");
        leader.pos5to11 = text.substr(5, 7);
        leader.pos17to23 = text.substr(17, 7);
        open = true;
      } else if (!open) {
        throw std::invalid_argument("field before the leader");
      } else if (IsControlTag(tag)) {
        fields.push_back({tag, Unblank(text)});
      } else {
        fields.push_back({tag, DataFieldContent(text)});
      }
    } catch (const std::invalid_argument& e) {
      throw std::runtime_error("line " + std::to_string(number) + ": " + e.what());
    }
  }
  finish();
  return records;
}

}  // namespace quillet_test
