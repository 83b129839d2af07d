#include "quillet/marc8.h"

#include <utf8proc.h>

#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>

#include "charset/utf8.h"
#include "common/word_scan.h"

namespace quillet {

namespace {

#include "charset/marc8_tables.inc"

constexpr std::uint32_t kCombining = 1u << 31;
constexpr std::uint32_t kReplacement = 0xFFFD;
constexpr char kEscape = '\x1B';

// Stands for the three-byte East Asian set where a one-byte table would be.
const std::uint32_t kEacc[1] = {0};

// The one-byte set designated by final byte `f`, kEacc for the East Asian
// set, or null when `f` names no set.
const std::uint32_t* SetByFinal(char f, bool multibyte) {
  if (multibyte) return f == '1' ? kEacc : nullptr;
  switch (f) {
    case 'B': return kBasicLatin;
    case 'E': return kExtendedLatin;
    case 'g': return kGreekSymbols;
    case 'b': return kSubscripts;
    case 'p': return kSuperscripts;
    case '2': return kHebrew;
    case 'N': return kCyrillic;
    case 'Q': return kExtendedCyrillic;
    case '3': return kArabic;
    case '4': return kExtendedArabic;
    case 'S': return kGreek;
    default: return nullptr;
  }
}

// The East Asian character of the three bytes at p (high bits ignored).
std::uint32_t LookUpEacc(const unsigned char* p) {
  const std::uint32_t code =
      (std::uint32_t{p[0] & 0x7Fu} << 16) | (std::uint32_t{p[1] & 0x7Fu} << 8) | (p[2] & 0x7Fu);
  const std::uint32_t* end = kEaccCodes + kEaccCount;
  const std::uint32_t* at = std::lower_bound(kEaccCodes, end, code);
  return at != end && *at == code ? kEaccUnicode[at - kEaccCodes] : 0;
}

}  // namespace

const char* TextProblem::message() const noexcept {
  switch (kind) {
    case Kind::kUnmapped: return "MARC-8 code without a character";
    case Kind::kUnknownEscape: return "unknown MARC-8 escape sequence";
    case Kind::kCutShort: return "MARC-8 character cut short";
    case Kind::kInvalidUtf8: return "bytes that are not UTF-8";
  }
  return "text problem";
}

std::string TextProblem::describe() const {
  static const char kHex[] = "0123456789ABCDEF";
  std::string text = message();
  text += ':';
  for (std::uint8_t i = 0; i < size && i < 4; ++i) {
    text += " 0x";
    text += kHex[bytes[i] >> 4];
    text += kHex[bytes[i] & 15];
  }
  return text;
}

void Marc8Decoder::reset() noexcept {
  g0_ = kBasicLatin;
  g1_ = kExtendedLatin;
}

void Marc8Decoder::decode(std::string_view text, std::string& out,
                          std::vector<TextProblem>* problems, std::uint64_t offset) {
  const unsigned char* const p = reinterpret_cast<const unsigned char*>(text.data());
  const std::size_t n = text.size();
  // Marks are appended as they come; the letter they precede in MARC-8 is
  // then put in before them.
  std::size_t marks = std::string::npos;
  auto emit = [&](std::uint32_t value) {
    if (value & kCombining) {
      if (marks == std::string::npos) marks = out.size();
      AppendUtf8(value & ~kCombining, out);
      return;
    }
    if (marks == std::string::npos) {
      AppendUtf8(value, out);
      return;
    }
    char bytes[4];
    const std::size_t len = EncodeUtf8(value, bytes);
    out.insert(marks, bytes, len);
    marks = std::string::npos;
  };
  auto problem = [&](TextProblem::Kind kind, std::size_t at, std::size_t len) {
    emit(kReplacement);
    if (!problems) return;
    TextProblem tp{
        kind, offset + at, {0, 0, 0, 0}, static_cast<std::uint8_t>(std::min<std::size_t>(len, 4))};
    std::copy(p + at, p + at + tp.size, tp.bytes);
    problems->push_back(tp);
  };

  out.reserve(out.size() + 3 * n + 4);  // a byte gives at most three of UTF-8, or U+FFFD
  std::size_t i = 0;
  while (i < n) {
    // Runs of printable ASCII in the default G0 set are copied as they are.
    if (g0_ == kBasicLatin && marks == std::string::npos) {
      std::size_t j = i;
      while (n - j >= 8) {  // eight at a time: no high bit, nothing below 0x20, no DEL
        const std::uint64_t w = word_scan::Load8(p + j);
        if ((word_scan::HighBits(w) | word_scan::BelowBits(w, 0x20) |
             word_scan::EqualBits(w, 0x7F)) != 0) {
          break;
        }
        j += 8;
      }
      while (j < n && p[j] >= 0x20 && p[j] < 0x7F) ++j;
      if (j != i) {
        out.append(text.data() + i, j - i);
        i = j;
        if (i == n) break;
      }
    }
    const unsigned char b = p[i];
    if (b == static_cast<unsigned char>(kEscape)) {
      // ESC, intermediates 0x20-0x2F, one final byte.
      std::size_t j = i + 1;
      while (j < n && p[j] >= 0x20 && p[j] <= 0x2F) ++j;
      if (j == n) {
        problem(TextProblem::Kind::kUnknownEscape, i, n - i);
        break;
      }
      const std::string_view inter(text.data() + i + 1, j - i - 1);
      const char f = static_cast<char>(p[j]);
      const std::uint32_t* set = nullptr;
      bool g1 = false;
      if (inter.empty()) {  // the short forms into G0
        set = f == 's'                             ? kBasicLatin
              : (f == 'g' || f == 'b' || f == 'p') ? SetByFinal(f, false)
                                                   : nullptr;
      } else if (inter == "(" || inter == ",") {
        set = SetByFinal(f, false);
      } else if (inter == ")" || inter == "-") {
        set = SetByFinal(f, false);
        g1 = true;
      } else if (inter == "$" || inter == "$,") {
        set = SetByFinal(f, true);
      } else if (inter == "$)" || inter == "$-") {
        set = SetByFinal(f, true);
        g1 = true;
      } else if ((inter == "(!" || inter == ")!" || inter == ",!" || inter == "-!") && f == 'E') {
        set = kExtendedLatin;  // the ANSEL designation with its intermediate
        g1 = inter[0] == ')' || inter[0] == '-';
      }
      if (set == nullptr) {
        problem(TextProblem::Kind::kUnknownEscape, i, j + 1 - i);
      } else {
        (g1 ? g1_ : g0_) = set;
      }
      i = j + 1;
      continue;
    }
    if (b < 0x20 || b == 0x7F) {  // controls pass as they are
      emit(b);
      ++i;
      continue;
    }
    if (b == 0x20) {
      emit(0x20);
      ++i;
      continue;
    }
    const std::uint32_t* set = b < 0x80 ? g0_ : g1_;
    if (set == kEacc && (b < 0x80 || b >= 0xA1)) {
      if (n - i < 3) {
        problem(TextProblem::Kind::kCutShort, i, n - i);
        break;
      }
      const std::uint32_t value = LookUpEacc(p + i);
      if (value == 0) {
        problem(TextProblem::Kind::kUnmapped, i, 3);
      } else {
        emit(value);
      }
      i += 3;
      continue;
    }
    const std::uint32_t value = set == kEacc ? 0 : set[b & 0x7F];
    if (value == 0) {
      problem(TextProblem::Kind::kUnmapped, i, 1);
    } else {
      emit(value);
    }
    ++i;
  }
}

void appendUtf8(std::string_view text, std::string& out, std::vector<TextProblem>* problems,
                std::uint64_t offset) {
  const unsigned char* const p = reinterpret_cast<const unsigned char*>(text.data());
  std::size_t i = 0, plain = 0;
  while (i < text.size()) {
    if (p[i] < 0x80) {
      ++i;
      continue;
    }
    const std::size_t len = Utf8SequenceLength(p + i, text.size() - i);
    if (len != 0) {
      i += len;
      continue;
    }
    out.append(text.data() + plain, i - plain);
    out += "\xEF\xBF\xBD";
    if (problems)
      problems->push_back({TextProblem::Kind::kInvalidUtf8, offset + i, {p[i], 0, 0, 0}, 1});
    plain = ++i;
  }
  out.append(text.data() + plain, text.size() - plain);
}

std::size_t utf8SequenceLength(std::string_view text) noexcept {
  if (text.empty()) return 0;
  return Utf8SequenceLength(reinterpret_cast<const unsigned char*>(text.data()), text.size());
}

bool isUtf8(std::string_view text) noexcept {
  const unsigned char* const p = reinterpret_cast<const unsigned char*>(text.data());
  for (std::size_t i = 0; i < text.size();) {
    if (text.size() - i >= 8) {  // eight ASCII bytes at a time
      if (!word_scan::AnyHigh(word_scan::Load8(p + i))) {
        i += 8;
        continue;
      }
    }
    if (p[i] < 0x80) {
      ++i;
      continue;
    }
    const std::size_t len = Utf8SequenceLength(p + i, text.size() - i);
    if (len == 0) return false;
    i += len;
  }
  return true;
}

void composeNfc(std::string& text) {
  utf8proc_uint8_t* composed = nullptr;
  const utf8proc_ssize_t len =
      utf8proc_map(reinterpret_cast<const utf8proc_uint8_t*>(text.data()),
                   static_cast<utf8proc_ssize_t>(text.size()), &composed,
                   static_cast<utf8proc_option_t>(UTF8PROC_STABLE | UTF8PROC_COMPOSE));
  if (len >= 0) text.assign(reinterpret_cast<const char*>(composed), static_cast<std::size_t>(len));
  std::free(composed);  // allocated by utf8proc with malloc
}

}  // namespace quillet
