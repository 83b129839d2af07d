// UTF-8 to MARC-8. The names here differ from those of marc8.cc: the library
// is built as one unit, where both files' unnamed namespaces meet.
#include <utf8proc.h>

#include <algorithm>
#include <cstdint>
#include <string>

#include "charset/utf8.h"
#include "quillet/marc8.h"

namespace quillet {

namespace {

#include "charset/marc8_reverse_tables.inc"

// Set indices, as in kReverseSetFinal.
enum : std::uint8_t {
  kAscii = 0,
  kAnsel = 1,
  kGreekSymbolsSet = 2,
  kSubscriptsSet = 3,
  kSuperscriptsSet = 4,
  kEaccSet = 11,
  kSetCount = 12,
};
static_assert(kReverseSetFinal[kAscii] == 'B' && kReverseSetFinal[kAnsel] == 'E' &&
                  kReverseSetFinal[kGreekSymbolsSet] == 'g' &&
                  kReverseSetFinal[kSubscriptsSet] == 'b' &&
                  kReverseSetFinal[kSuperscriptsSet] == 'p' && kReverseSetFinal[kEaccSet] == '1',
              "set indices follow the generated table");

constexpr std::uint32_t kMarkBit = 1u << 23;
constexpr char32_t kNoCharacter = 0xFFFD;

// The escape sequence that designates each set where the encoder puts it.
struct Designation {
  bool g1;
  const char* escape;
};
constexpr Designation kDesignations[kSetCount] = {
    {false, "\x1B(B"}, {true, "\x1B)!E"}, {false, "\x1Bg"},  {false, "\033b"},
    {false, "\x1Bp"},  {false, "\x1B(2"}, {false, "\x1B(N"}, {true, "\x1B)Q"},
    {false, "\x1B(3"}, {true, "\x1B)4"},  {false, "\x1B(S"}, {false, "\x1B$1"},
};

bool ShortEscape(std::uint8_t set) {
  return set == kGreekSymbolsSet || set == kSubscriptsSet || set == kSuperscriptsSet;
}

// The reverse-table rows of `c`: [first, last), empty when MARC-8 lacks it.
struct Rows {
  std::size_t first, last;
  bool empty() const { return first == last; }
};

Rows RowsOf(char32_t c) {
  const std::uint32_t* const begin = kReverseUnicode;
  const std::uint32_t* const end = kReverseUnicode + kReverseCount;
  const auto range = std::equal_range(begin, end, static_cast<std::uint32_t>(c));
  return {static_cast<std::size_t>(range.first - begin),
          static_cast<std::size_t>(range.second - begin)};
}

bool Mapped(char32_t c) { return !RowsOf(c).empty(); }

// A combining mark: as MARC-8 has it where it holds the character (so the
// Arabic superscript alef, spacing there, is none), else as Unicode has it.
bool IsMark(char32_t c) {
  const Rows rows = RowsOf(c);
  if (!rows.empty()) return (kReverseCode[rows.first] & kMarkBit) != 0;
  const utf8proc_property_t* p = utf8proc_get_property(static_cast<utf8proc_int32_t>(c));
  return p->combining_class != 0;
}

bool IsControl(char32_t c) { return c < 0x20 || c == 0x7F; }

// How many code points of `in` before the next starter.
std::size_t MarksAt(const char32_t* in, std::size_t n) {
  std::size_t i = 0;
  while (i < n && !IsControl(in[i]) && in[i] != 0x20 && IsMark(in[i])) ++i;
  return i;
}

// The work of one encode() or finish(): the encoder's sets and the output.
class Marc8EncoderRun {
 public:
  Marc8EncoderRun(std::uint8_t& g0, std::uint8_t& g1, std::string& out)
      : g0_(g0), g1_(g1), out_(out) {}

  // Designates `set` where it goes, if it is not there already.
  void designate(std::uint8_t set) {
    const Designation& d = kDesignations[set];
    std::uint8_t& current = d.g1 ? g1_ : g0_;
    if (current == set) return;
    out_ += set == kAscii && ShortEscape(current) ? "\x1Bs" : d.escape;
    current = set;
  }

  // The code of `c` to write: in a set designated already, else in the
  // first that holds it and the `n` marks at `marks` that MARC-8 holds,
  // else in the first that holds it. REQUIRES: MARC-8 holds `c`.
  std::uint32_t choose(const Rows& rows, const char32_t* marks = nullptr, std::size_t n = 0) const {
    for (std::size_t i = rows.first; i < rows.last; ++i) {
      const std::uint8_t set = static_cast<std::uint8_t>(kReverseCode[i] >> 24);
      if ((kDesignations[set].g1 ? g1_ : g0_) == set) return kReverseCode[i];
    }
    for (std::size_t i = rows.first; i < rows.last && n != 0; ++i) {
      const std::uint32_t set = kReverseCode[i] >> 24;
      bool all = true;
      for (std::size_t k = 0; k < n && all; ++k) {
        const Rows mark = RowsOf(marks[k]);
        all = mark.empty() || std::any_of(kReverseCode + mark.first, kReverseCode + mark.last,
                                          [set](std::uint32_t code) { return code >> 24 == set; });
      }
      if (all) return kReverseCode[i];
    }
    return kReverseCode[rows.first];
  }

  // Writes `c`, which must not be a control or the space; false, writing
  // nothing, when MARC-8 lacks it.
  bool character(char32_t c) {
    const Rows rows = RowsOf(c);
    if (rows.empty()) return false;
    write(choose(rows));
    return true;
  }

  void write(std::uint32_t code) {
    const std::uint8_t set = static_cast<std::uint8_t>(code >> 24);
    designate(set);
    if (set == kEaccSet) {
      out_ += static_cast<char>((code >> 16) & 0x7F);
      out_ += static_cast<char>((code >> 8) & 0x7F);
      out_ += static_cast<char>(code & 0x7F);
    } else {
      out_ += static_cast<char>((code & 0x7F) | (kDesignations[set].g1 ? 0x80 : 0));
    }
  }

  void space() {
    if (g0_ == kEaccSet) designate(kAscii);
    out_ += ' ';
  }

  // `&#xXXXX;` for `c`, all of it in Basic Latin, which alone has the x
  // and the hex letters.
  void reference(char32_t c) {
    designate(kAscii);
    static const char kHex[] = "0123456789ABCDEF";
    char text[16] = {'&', '#', 'x'};
    std::size_t n = 3;
    int shift = c > 0xFFFFF ? 20 : c > 0xFFFF ? 16 : 12;
    for (; shift >= 0; shift -= 4) text[n++] = kHex[(c >> shift) & 0xF];
    text[n++] = ';';
    for (std::size_t i = 0; i < n; ++i) character(static_cast<unsigned char>(text[i]));
    ++references_;
  }

  void characterOrReference(char32_t c) {
    if (!character(c)) reference(c);
  }

  // One character and the marks after it, all of them mapped or the
  // character taken apart: marks MARC-8 holds, the character, then the
  // references of the marks it lacks.
  void group(const char32_t* in, std::size_t n) {
    // The character's set first, so that marks it holds too come from it
    // (Greek accents on Greek letters).
    std::uint32_t base = 0;
    if (in[0] != 0x20) {
      base = choose(RowsOf(in[0]), in + 1, n - 1);
      if (n > 1) designate(static_cast<std::uint8_t>(base >> 24));
    }
    const std::uint32_t base_set = in[0] == 0x20 ? std::uint32_t{kSetCount} : base >> 24;
    for (std::size_t i = 1; i < n; ++i) {
      const Rows rows = RowsOf(in[i]);
      if (rows.empty()) continue;
      const std::uint32_t* same =
          std::find_if(kReverseCode + rows.first, kReverseCode + rows.last,
                       [base_set](std::uint32_t code) { return code >> 24 == base_set; });
      write(same != kReverseCode + rows.last ? *same : choose(rows));
    }
    if (in[0] == 0x20) {
      space();
    } else {
      write(base);
    }
    for (std::size_t i = 1; i < n; ++i) {
      if (!Mapped(in[i])) reference(in[i]);
    }
  }

  // A character that is no mark and no control, and the `n - 1` marks
  // after it.
  void cluster(const char32_t* in, std::size_t n) {
    constexpr std::size_t kRoom = 32;
    utf8proc_int32_t parts[kRoom];
    if (n > 1 && n < 8 && in[0] != 0x20 && Mapped(in[0])) {
      // Marks that make one of MARC-8's own letters with it: that letter.
      const std::size_t len = Compose(in, n, parts, kRoom);
      if (len != 0 && static_cast<char32_t>(parts[0]) != in[0] && Mapped(parts[0]) &&
          !IsMark(parts[0])) {
        char32_t composed[kRoom];
        std::copy(parts, parts + len, composed);
        group(composed, len);
        return;
      }
    }
    if (in[0] == 0x20 || Mapped(in[0])) {
      group(in, n);
      return;
    }
    // Taken apart, when MARC-8 holds every part: a starter and its marks,
    // maybe more than one starter (a Hangul syllable).
    const utf8proc_ssize_t len = utf8proc_decompose_char(static_cast<utf8proc_int32_t>(in[0]),
                                                         parts, kRoom, UTF8PROC_DECOMPOSE, nullptr);
    bool usable = len > 1 && static_cast<std::size_t>(len) + n - 1 <= kRoom;
    for (utf8proc_ssize_t i = 0; usable && i < len; ++i) usable = Mapped(parts[i]);
    if (!usable) {
      for (std::size_t i = 0; i < n; ++i) reference(in[i]);
      return;
    }
    char32_t whole[kRoom];
    std::size_t m = 0;
    for (utf8proc_ssize_t i = 0; i < len; ++i) whole[m++] = static_cast<char32_t>(parts[i]);
    for (std::size_t i = 1; i < n; ++i) whole[m++] = in[i];
    for (std::size_t i = 0; i < m;) {
      const std::size_t j = i + 1 + MarksAt(whole + i + 1, m - i - 1);
      group(whole + i, j - i);
      i = j;
    }
  }

  std::size_t references() const { return references_; }

 private:
  // The composition (NFC) of the `n` code points at `in` into `out`: its
  // length, or 0 when it does not fit.
  static std::size_t Compose(const char32_t* in, std::size_t n, utf8proc_int32_t* out,
                             std::size_t room) {
    std::size_t len = 0;
    for (std::size_t i = 0; i < n; ++i) {
      const utf8proc_ssize_t k = utf8proc_decompose_char(
          static_cast<utf8proc_int32_t>(in[i]), out + len,
          static_cast<utf8proc_ssize_t>(room - len), UTF8PROC_DECOMPOSE, nullptr);
      if (k < 0 || static_cast<std::size_t>(k) > room - len) return 0;
      len += static_cast<std::size_t>(k);
    }
    const utf8proc_ssize_t composed = utf8proc_normalize_utf32(
        out, static_cast<utf8proc_ssize_t>(len),
        static_cast<utf8proc_option_t>(UTF8PROC_STABLE | UTF8PROC_COMPOSE));
    return composed > 0 ? static_cast<std::size_t>(composed) : 0;
  }

  std::uint8_t& g0_;
  std::uint8_t& g1_;
  std::string& out_;
  std::size_t references_ = 0;
};

}  // namespace

void Marc8Encoder::reset() noexcept {
  g0_ = kAscii;
  g1_ = kAnsel;
}

void Marc8Encoder::finish(std::string& out) {
  Marc8EncoderRun run(g0_, g1_, out);
  run.designate(kAscii);
  run.designate(kAnsel);
}

std::size_t Marc8Encoder::encode(std::string_view text, std::string& out,
                                 std::vector<TextProblem>* problems, std::uint64_t offset) {
  const unsigned char* const p = reinterpret_cast<const unsigned char*>(text.data());
  const std::size_t n = text.size();
  // Printable ASCII with Basic Latin in G0, the common case, as it is.
  if (g0_ == kAscii &&
      std::all_of(p, p + n, [](unsigned char b) { return b >= 0x20 && b < 0x7F; })) {
    out.append(text.data(), n);
    return 0;
  }
  text_.clear();
  for (std::size_t i = 0; i < n;) {
    const std::size_t len = Utf8SequenceLength(p + i, n - i);
    if (len == 0) {
      text_.push_back(kNoCharacter);
      if (problems)
        problems->push_back({TextProblem::Kind::kInvalidUtf8, offset + i, {p[i], 0, 0, 0}, 1});
      ++i;
      continue;
    }
    char32_t c = p[i] & (0xFF >> (len == 1 ? 0 : len + 1));
    for (std::size_t k = 1; k < len; ++k) c = (c << 6) | (p[i + k] & 0x3F);
    text_.push_back(c);
    i += len;
  }

  Marc8EncoderRun run(g0_, g1_, out);
  const char32_t* const in = text_.data();
  const std::size_t m = text_.size();
  for (std::size_t i = 0; i < m;) {
    const char32_t c = in[i];
    if (IsControl(c)) {
      if (c == 0x1B) {
        run.reference(c);
      } else {
        out += static_cast<char>(c);
      }
      ++i;
      continue;
    }
    const bool starter = c == 0x20 || !IsMark(c);
    const std::size_t j = i + (starter ? 1 : 0);
    const std::size_t end = j + MarksAt(in + j, m - j);
    if (starter) {
      run.cluster(in + i, end - i);
    } else {
      // Marks with nothing before them: as marks at the end of the text,
      // where they go on nothing, as references before text they would go on.
      for (std::size_t k = i; k < end; ++k) {
        if (end == m) {
          run.characterOrReference(in[k]);
        } else {
          run.reference(in[k]);
        }
      }
    }
    i = end;
  }
  return run.references();
}

}  // namespace quillet
