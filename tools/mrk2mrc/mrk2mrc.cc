// mrk2mrc IN.mrk OUT.mrc: builds ISO 2709 records from their mnemonic text,
// the form quillet-dump prints by default: an =LDR line and one =TAG line
// per field, records separated by blank lines. Control fields and
// indicators write blanks as '\'; '$' opens a subfield; {dollar}, {lcub},
// {rcub}, {bsol} and {0xHH} stand for the bytes quillet-dump escapes. The
// leader's length and base address are computed, whatever the text says.
#include <quillet/writer.h>

#include <algorithm>
#include <fstream>
#include <iostream>
#include <stdexcept>
#include <string>

namespace {

// The bytes `text` stands for: escapes resolved, and in control fields and
// indicators (`blanks`) backslashes read as blanks.
std::string Unescape(const std::string& text, bool blanks) {
  static const struct {
    const char* name;
    char byte;
  } kNamed[] = {{"{dollar}", '$'}, {"{lcub}", '{'}, {"{rcub}", '}'}, {"{bsol}", '\\'}};
  std::string out;
  for (std::size_t i = 0; i < text.size();) {
    if (text[i] == '{') {
      bool named = false;
      for (const auto& n : kNamed) {
        const std::string name = n.name;
        if (text.compare(i, name.size(), name) == 0) {
          out += n.byte;
          i += name.size();
          named = true;
          break;
        }
      }
      if (named) continue;
      if (text.compare(i, 3, "{0x") == 0 && i + 5 < text.size() && text[i + 5] == '}') {
        out += static_cast<char>(std::stoi(text.substr(i + 3, 2), nullptr, 16));
        i += 6;
        continue;
      }
    }
    out += blanks && text[i] == '\\' ? ' ' : text[i];
    ++i;
  }
  return out;
}

// Indicators, then a delimiter, code and value for each $ of the text.
// Text between the indicators and the first $ (as quillet-dump prints a
// damaged field) is kept as it is.
std::string DataField(const std::string& text) {
  if (text.size() < 2) throw std::invalid_argument("data field without indicators");
  std::string content = Unescape(text.substr(0, 2), true);
  std::size_t pos = std::min(text.find('$', 2), text.size());
  content += Unescape(text.substr(2, pos - 2), false);
  while (pos < text.size()) {
    const std::size_t next = text.find('$', pos + 1);
    const std::string piece =
        text.substr(pos + 1, next == std::string::npos ? std::string::npos : next - pos - 1);
    if (piece.empty()) throw std::invalid_argument("subfield without code");
    content += '\x1F';
    content += piece[0];
    content += Unescape(piece.substr(1), false);
    pos = next == std::string::npos ? text.size() : next;
  }
  return content;
}

void Compile(std::istream& in, std::ostream& out) {
  quillet::RecordWriter writer;
  bool open = false;
  auto finish = [&] {
    if (open) out << writer.build();
    writer.clear();
    open = false;
  };
  std::string line;
  for (int number = 1; std::getline(in, line); ++number) {
    if (!line.empty() && line.back() == '\r') line.pop_back();
    try {
      if (line.empty()) {
        finish();
        continue;
      }
      if (line.size() < 6 || line[0] != '=' || line.compare(4, 2, "  ") != 0) {
        throw std::invalid_argument("expected =TAG followed by two blanks");
      }
      const std::string tag = line.substr(1, 3);
      const std::string text = line.substr(6);
      if (tag == "LDR") {
        if (open) throw std::invalid_argument("leader inside a record");
        const std::string leader = Unescape(text, false);
        if (leader.size() != 24) throw std::invalid_argument("leader must be 24 characters");
        writer.setLeader(leader);
        open = true;
      } else if (!open) {
        throw std::invalid_argument("field before the leader");
      } else if (tag[0] == '0' && tag[1] == '0') {
        writer.addField(tag, Unescape(text, true));
      } else {
        writer.addField(tag, DataField(text));
      }
    } catch (const std::exception& e) {
      throw std::runtime_error("line " + std::to_string(number) + ": " + e.what());
    }
  }
  finish();
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 3) {
    std::cerr << "usage: mrk2mrc IN.mrk OUT.mrc\n";
    return 2;
  }
  std::ifstream in(argv[1], std::ios::binary);
  if (!in) {
    std::cerr << "mrk2mrc: cannot open " << argv[1] << '\n';
    return 2;
  }
  try {
    std::ofstream out(argv[2], std::ios::binary);
    Compile(in, out);
    if (!out) throw std::runtime_error(std::string("cannot write ") + argv[2]);
  } catch (const std::exception& e) {
    std::cerr << "mrk2mrc: " << argv[1] << ": " << e.what() << '\n';
    return 1;
  }
  return 0;
}
