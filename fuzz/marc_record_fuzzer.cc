// The editable record under any sequence of changes: made empty or from the
// first bytes of the input, changed as the rest of the input says, it
// writes bytes that the views read back to the fields it holds, with no
// problem when it holds nothing a setter would refuse; or it refuses, with
// the exception its interface names, and is then unchanged.
#include <quillet/formats.h>
#include <quillet/marc_record.h>
#include <quillet/text.h>
#include <quillet/view.h>

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <stdexcept>
#include <string>
#include <string_view>

namespace {

// Takes bytes from the input, front to back; zeros once it is used up.
class Input {
 public:
  Input(const std::uint8_t* data, std::size_t size) : p_(data), left_(size) {}
  bool empty() const { return left_ == 0; }
  std::uint8_t byte() {
    if (left_ == 0) return 0;
    --left_;
    return *p_++;
  }
  std::size_t number(std::size_t bound) { return bound == 0 ? 0 : byte() % bound; }
  std::string_view bytes(std::size_t n) {
    n = n < left_ ? n : left_;
    const std::string_view out(reinterpret_cast<const char*>(p_), n);
    p_ += n;
    left_ -= n;
    return out;
  }
  // A value: mostly a few input bytes, sometimes thousands of filler bytes
  // so that the length limits are reached.
  std::string value() {
    const std::uint8_t n = byte();
    if (n >= 0xF0) return std::string(std::size_t{n - 0xEFu} * 1500, 'v');
    return std::string(bytes(n % 16));
  }
  std::string tag() {
    const std::uint8_t kind = byte();
    if (kind < 0x08) return std::string(bytes(kind % 5));  // wrong lengths
    return std::string(bytes(3));
  }
  std::string pattern() {
    static const char* const kPatterns[] = {"9XX", "6..", "245", "00X", "5xx", "X", "..."};
    const std::uint8_t kind = byte();
    return kind < 7 * 16 ? kPatterns[kind % 7] : std::string(bytes(3));
  }

 private:
  const std::uint8_t* p_;
  std::size_t left_;
};

// The fields as one line each; two records have the same fields when these
// agree.
std::string Fields(const quillet::RecordView& rec) {
  std::string s;
  for (const quillet::FieldView& f : rec.fields()) {
    s.append(f.tag());
    if (f.isControl()) {
      s.append("=").append(f.data());
    } else {
      s.append(1, f.indicator1()).append(1, f.indicator2()).append("[");
      s.append(quillet::fieldPrefix(f)).append("]");
      for (const quillet::SubfieldView& sf : f.subfields()) {
        s.append("$").append(1, sf.code()).append(sf.value());
      }
    }
    s += '\n';
  }
  return s;
}

std::string Fields(const quillet::MarcRecord& rec) {
  std::string s;
  for (std::size_t i = 0; i < rec.fieldCount(); ++i) {
    s.append(rec.tag(i));
    if (rec.isControl(i)) {
      s.append("=").append(rec.data(i));
    } else {
      s.append(1, rec.indicator1(i)).append(1, rec.indicator2(i)).append("[");
      s.append(rec.prefix(i)).append("]");
      for (std::size_t j = 0; j < rec.subfieldCount(i); ++j) {
        s.append("$").append(1, rec.code(i, j)).append(rec.value(i, j));
      }
    }
    s += '\n';
  }
  return s;
}

bool HasSeparator(std::string_view bytes) {
  return bytes.find_first_of("\x1D\x1E\x1F") != std::string_view::npos;
}

// Whether the record holds only what the setters let in, and a subfield in
// every data field (the views report a data field without any): then its
// bytes read back with no problem at all.
bool Clean(const quillet::MarcRecord& rec) {
  for (std::size_t i = 0; i < rec.fieldCount(); ++i) {
    if (HasSeparator(rec.tag(i))) return false;
    if (rec.isControl(i)) {
      if (HasSeparator(rec.data(i))) return false;
      continue;
    }
    if (!rec.prefix(i).empty() || rec.subfieldCount(i) == 0 ||
        HasSeparator(std::string(1, rec.indicator1(i)) + rec.indicator2(i))) {
      return false;
    }
    for (std::size_t j = 0; j < rec.subfieldCount(i); ++j) {
      // Code '\0' and no value: perhaps a delimiter with no code after it,
      // kept from the input as it was.
      if (rec.code(i, j) == '\0' && rec.value(i, j).empty()) return false;
      if (HasSeparator(std::string(1, rec.code(i, j))) || HasSeparator(rec.value(i, j)))
        return false;
    }
  }
  return true;
}

void Change(quillet::MarcRecord& rec, Input& in) {
  const std::size_t fields = rec.fieldCount() + 1;  // one past the end, sometimes
  switch (in.byte() % 20) {
    case 0: rec.addControlField(in.tag(), in.value()); break;
    case 1:
      rec.addDataField(in.tag(), static_cast<char>(in.byte()), static_cast<char>(in.byte()),
                       {{static_cast<char>(in.byte()), in.value()}});
      break;
    case 2: rec.insertControlField(in.number(fields), in.tag(), in.value()); break;
    case 3: {
      const std::string tag = in.tag(), a = in.value(), b = in.value();
      rec.insertDataField(in.number(fields), tag, ' ', '0', {{'a', a}, {'b', b}});
      break;
    }
    case 4: {
      const std::string tag = in.tag();
      rec.insertDataField(rec.tagOrderPosition(tag), tag, ' ', ' ', {{'a', in.value()}});
      break;
    }
    case 5: rec.removeField(in.number(fields)); break;
    case 6: rec.removeFields(in.pattern()); break;
    case 7: rec.findFields(in.pattern()); break;
    case 8: rec.setTag(in.number(fields), in.tag()); break;
    case 9: rec.setData(in.number(fields), in.value()); break;
    case 10:
      rec.setIndicators(in.number(fields), static_cast<char>(in.byte()),
                        static_cast<char>(in.byte()));
      break;
    case 11: {
      const std::size_t f = in.number(fields);
      rec.addSubfield(f, static_cast<char>(in.byte()), in.value());
      break;
    }
    case 12: {
      const std::size_t f = in.number(fields);
      const std::size_t pos = in.number(f < rec.fieldCount() ? rec.subfieldCount(f) + 2 : 2);
      rec.insertSubfield(f, pos, static_cast<char>(in.byte()), in.value());
      break;
    }
    case 13: {
      const std::size_t f = in.number(fields);
      rec.removeSubfield(f, in.number(f < rec.fieldCount() ? rec.subfieldCount(f) + 1 : 1));
      break;
    }
    case 14: rec.removeSubfields(in.number(fields), static_cast<char>(in.byte())); break;
    case 15: {
      const std::size_t f = in.number(fields);
      rec.setSubfield(f, static_cast<char>(in.byte()), in.value());
      break;
    }
    case 16: {
      const std::size_t f = in.number(fields);
      const std::size_t sub = in.number(f < rec.fieldCount() ? rec.subfieldCount(f) + 1 : 1);
      rec.setValue(f, sub, in.value());
      break;
    }
    case 17: rec.setLeader(in.number(26), static_cast<char>(in.byte())); break;
    case 18: rec.setLeader(in.bytes(in.number(2) == 0 ? 24 : in.number(30))); break;
    case 19: {
      // A value of the record itself, which the change may move.
      const std::size_t f = in.number(fields);
      if (f < rec.fieldCount() && rec.subfieldCount(f) > 0) {
        rec.setSubfield(f, static_cast<char>(in.byte()), rec.value(f, 0));
      } else if (f < rec.fieldCount()) {
        rec.addControlField("009", rec.data(f));
      }
      break;
    }
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  Input in(data, size);
  const std::uint8_t start = in.byte();
  quillet::MarcRecord rec;
  std::unique_ptr<char[]> source;
  if (start & 1) {
    // A record from the next bytes, in a buffer of exactly their size.
    const std::size_t n = in.byte() | std::size_t{in.byte()} << 8;
    const std::string_view bytes = in.bytes(n);
    source.reset(new char[bytes.size()]);
    std::memcpy(source.get(), bytes.data(), bytes.size());
    rec.assign(quillet::RecordView::parse(source.get(), bytes.size()));
    source.reset();  // the record holds its own copy
  }
  quillet::MarcWriteOptions options;
  options.unstated_lengths = (start & 2) != 0;
  while (!in.empty()) {
    const std::string before = Fields(rec) + std::string(rec.leader());
    try {
      Change(rec, in);
    } catch (const std::invalid_argument&) {
      if (Fields(rec) + std::string(rec.leader()) != before) std::abort();
    } catch (const std::out_of_range&) {
      if (Fields(rec) + std::string(rec.leader()) != before) std::abort();
    }
  }

  std::string bytes;
  try {
    rec.appendIso2709(bytes, options);
  } catch (const std::length_error&) {
    return 0;
  }
  const std::unique_ptr<char[]> exact(new char[bytes.size()]);
  std::memcpy(exact.get(), bytes.data(), bytes.size());
  const quillet::RecordView back = quillet::RecordView::parse(exact.get(), bytes.size());
  if (Fields(back) != Fields(rec)) std::abort();
  if (!options.unstated_lengths && Clean(rec) && !back.problems().empty()) std::abort();

  // The text formats, through the formats layer, for what they read.
  quillet::RecordText text;
  quillet::OutputBuffer out;
  try {
    rec.write(static_cast<quillet::Format>(start >> 4 & 3), text, out, options);
    options.to_utf8 = true;
    rec.appendIso2709(out, options);
  } catch (const std::length_error&) {
  }
  return 0;
}
