#include "formats/xml_scanner.h"

#include <algorithm>
#include <cstring>
#include <string>
#include <string_view>

#include "charset/utf8.h"
#include "common/word_scan.h"

namespace quillet {

namespace {

// Bytes of names: 1 may start a name, 2 may continue one. Bytes beyond
// ASCII are taken as name characters (checked as UTF-8 by the text rules
// where they matter: names are quoted in details as UTF-8 only).
struct NameTable {
  unsigned char kind[256] = {};
  constexpr NameTable() {
    for (int c = 0; c < 256; ++c) {
      const bool start =
          (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || c == '_' || c == ':' || c >= 0x80;
      const bool more = start || (c >= '0' && c <= '9') || c == '-' || c == '.';
      kind[c] = static_cast<unsigned char>((start ? 1 : 0) | (more ? 2 : 0));
    }
  }
};
constexpr NameTable kNames;
inline bool NameStart(char c) { return (kNames.kind[static_cast<unsigned char>(c)] & 1) != 0; }
inline bool NameChar(char c) { return (kNames.kind[static_cast<unsigned char>(c)] & 2) != 0; }
inline bool Blank(char c) { return c == ' ' || c == '\t' || c == '\n' || c == '\r'; }

// The longest reference read ("&#x10FFFF;" and a few leading zeros, or a
// name): past it, an '&' starts none.
constexpr std::size_t kMaxReference = 32;

// Names are short: compared inline, not through a call.
inline bool SameName(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) return false;
  for (std::size_t i = 0; i < a.size(); ++i) {
    if (a[i] != b[i]) return false;
  }
  return true;
}

bool XmlChar(std::uint32_t c) {
  return c == 0x9 || c == 0xA || c == 0xD || (c >= 0x20 && c <= 0xD7FF) ||
         (c >= 0xE000 && c <= 0xFFFD) || (c >= 0x10000 && c <= 0x10FFFF);
}

// `bytes` for a detail: quoted, at most 20 bytes, valid UTF-8.
std::string Quoted(std::string_view bytes) {
  std::string out = "\"";
  std::size_t i = 0;
  while (i < bytes.size() && i < 20) {
    const std::size_t n = Utf8SequenceLength(
        reinterpret_cast<const unsigned char*>(bytes.data() + i), bytes.size() - i);
    if (n == 0 || bytes[i] == '\n' || bytes[i] == '\r' || bytes[i] == '\t') {
      out += n == 0 ? "\xEF\xBF\xBD" : " ";
      ++i;
    } else {
      out.append(bytes.data() + i, n);
      i += n;
    }
  }
  if (i < bytes.size()) out += "...";
  return out + "\"";
}

std::string Hex(std::uint32_t c) {
  static const char kDigits[] = "0123456789ABCDEF";
  std::string out = "U+";
  for (int shift = c > 0xFFFF ? 20 : 12; shift >= 0; shift -= 4) out += kDigits[(c >> shift) & 0xF];
  return out;
}

// Whether `s` is "utf-8" or "utf8", in any case.
bool Utf8Name(std::string_view s) {
  std::string lower(s);
  for (char& c : lower) c = static_cast<char>(c >= 'A' && c <= 'Z' ? c + 32 : c);
  return lower == "utf-8" || lower == "utf8";
}

}  // namespace

XmlScanner::Status XmlScanner::Feed() {
  if (foreign_) return Status::kForeign;
  return Run(false);
}

XmlScanner::Status XmlScanner::Finish() {
  if (foreign_) return Status::kForeign;
  if (Run(true) == Status::kForeign) return Status::kForeign;
  if (state_ == State::kContent && !open_.empty()) {
    const std::size_t from = open_.size() > 1 ? open_[open_.size() - 2].name_end : 0;
    handler_.XmlDamage(
        Here(), "the input ends inside element " +
                    Quoted(std::string_view(names_).substr(from, open_.back().name_end - from)));
  } else if (state_ == State::kProlog && !first_in_doc_) {
    handler_.XmlDamage(Here(), "the input ends before the document's root element");
  }
  return Status::kEnd;
}

std::string_view XmlScanner::ForeignDocument() const {
  return std::string_view(buf_).substr(doc_start_);
}

XmlScanner::Status XmlScanner::Run(bool final) {
  if (!final && buf_.size() < retry_at_) return Status::kMore;
  while (pos_ < buf_.size()) {
    Step step;
    if (state_ == State::kResync) {
      Resync(final);
      if (state_ == State::kResync) break;
      continue;
    }
    if (state_ == State::kHead) {
      step = Head(final);
    } else if (buf_[pos_] == '<') {
      step = Markup(final);
    } else {
      step = Text(final);
    }
    if (step == Step::kMore) {
      // A construct held whole is read again once its bytes have doubled,
      // not at every chunk: linear time whatever the chunks.
      const std::size_t held = buf_.size() - pos_;
      retry_at_ = held > 256 ? pos_ + std::min(2 * held, kMaxHeld) : 0;
      break;
    }
    if (step == Step::kForeign) {
      foreign_ = true;
      return Status::kForeign;
    }
  }
  if (!final && state_ != State::kResync && buf_.size() - pos_ > kMaxHeld) {
    Damage(pos_, "markup longer than " + std::to_string(kMaxHeld) + " bytes");
    retry_at_ = 0;
    Resync(false);
  }
  Compact();
  return Status::kMore;
}

void XmlScanner::Compact() {
  std::size_t keep = pos_;
  if (state_ == State::kProlog) {
    // The head is kept for the parser of a foreign document, while it is
    // short; past that the document stays here.
    if (pos_ - doc_start_ > kMaxHeld) doc_start_ = pos_;
    keep = doc_start_;
  }
  if (keep == 0) return;
  buf_.erase(0, keep);
  base_ += keep;
  pos_ -= keep;
  doc_start_ = doc_start_ >= keep ? doc_start_ - keep : 0;
  retry_at_ = retry_at_ >= keep ? retry_at_ - keep : 0;
}

XmlScanner::Step XmlScanner::Damage(std::size_t at, std::string detail) {
  handler_.XmlDamage(PositionOf(at), std::move(detail));
  // Only outermost collections stay open: the next record is theirs.
  std::size_t keep = 0;
  while (keep < open_.size() && open_[keep].collection) ++keep;
  if (keep < open_.size()) {
    handler_.XmlDrop(keep, PositionOf(at));
    names_.resize(keep == 0 ? 0 : open_[keep - 1].name_end);
    open_.resize(keep);
  }
  state_ = State::kResync;
  pos_ = at;
  skip_first_ = true;
  return Step::kDamage;
}

void XmlScanner::Resync(bool final) {
  const char* const b = buf_.data();
  const std::size_t end = buf_.size();
  std::size_t p = pos_;
  if (skip_first_ && p < end) {
    ++p;
    skip_first_ = false;
  }
  while (p < end) {
    const void* hit = std::memchr(b + p, '<', end - p);
    const std::size_t q =
        hit == nullptr ? end : static_cast<std::size_t>(static_cast<const char*>(hit) - b);
    // Line feeds not counted yet, up to the '<'.
    const std::size_t counted =
        line_start_ > base_ ? static_cast<std::size_t>(line_start_ - base_) : 0;
    for (std::size_t k = std::max(pos_, counted); k < q;) {
      const void* nl = std::memchr(b + k, '\n', q - k);
      if (nl == nullptr) break;
      k = static_cast<std::size_t>(static_cast<const char*>(nl) - b);
      Line(k++);
    }
    p = q;
    if (p == end) break;
    std::size_t n = p + 1;
    while (n < end && n - p < 64 && NameChar(b[n])) ++n;
    if (n == end && !final) break;  // the name may go on
    const std::string_view name(b + p + 1, n - p - 1);
    const std::size_t colon = name.find(':');
    const std::string_view local = colon == std::string_view::npos ? name : name.substr(colon + 1);
    if (local == "record" && (n == end || Blank(b[n]) || b[n] == '>' || b[n] == '/')) {
      pos_ = p;
      state_ = State::kContent;
      return;
    }
    ++p;
  }
  pos_ = p;
}

XmlScanner::Position XmlScanner::PositionBefore(std::size_t at) const {
  const std::size_t counted = static_cast<std::size_t>(line_start_ - base_);
  std::uint32_t lines = 0;
  for (std::size_t k = at; k < counted && k < buf_.size(); ++k) lines += buf_[k] == '\n';
  std::size_t start = at;
  while (start > 0 && buf_[start - 1] != '\n') --start;
  return Position{base_ + at, line_ - lines, static_cast<std::uint32_t>(at - start + 1)};
}

XmlScanner::Step XmlScanner::Head(bool final) {
  const std::size_t avail = buf_.size() - pos_;
  if (avail < 4 && !final) return Step::kMore;
  const auto* u = reinterpret_cast<const unsigned char*>(buf_.data() + pos_);
  doc_start_ = pos_;
  doc_at_ = PositionOf(pos_);
  if (avail >= 2 &&
      ((u[0] == 0xFE && u[1] == 0xFF) || (u[0] == 0xFF && u[1] == 0xFE) ||
       (u[0] == 0 && u[1] == '<') || (u[0] == '<' && u[1] == 0) || (u[0] == 0 && u[1] == 0))) {
    foreign_at_ = doc_at_;
    return Step::kForeign;  // UTF-16 or UCS-4
  }
  if (avail >= 3 && u[0] == 0xEF && u[1] == 0xBB && u[2] == 0xBF) pos_ += 3;
  state_ = State::kProlog;
  first_in_doc_ = true;
  return Step::kDone;
}

XmlScanner::Step XmlScanner::Markup(bool final) {
  const char* const b = buf_.data();
  const std::size_t avail = buf_.size() - pos_;
  if (avail < 2) {
    return final ? Damage(buf_.size(), "the input ends inside a tag") : Step::kMore;
  }
  const char c = b[pos_ + 1];
  if (state_ == State::kEpilogue && c != '!' && c != '/') {
    // An element, or an XML declaration, starts the next document.
    if (c == '?') {
      if (avail < 6 && !final) return Step::kMore;
      if (avail < 6 || std::memcmp(b + pos_, "<?xml", 5) != 0 || !Blank(b[pos_ + 5])) {
        return Pi(final);
      }
    }
    state_ = State::kHead;
    return Step::kDone;
  }
  if (c == '/') return EndTag(final);
  if (c == '?') return Pi(final);
  if (c != '!') return StartTag(final);
  if (avail < 9 && !final) return Step::kMore;
  const std::string_view head(b + pos_, std::min<std::size_t>(avail, 9));
  if (head.substr(0, 4) == "<!--") return Comment(final);
  if (head == "<![CDATA[") return Cdata(final);
  if (head == "<!DOCTYPE") {
    if (state_ == State::kEpilogue) {
      state_ = State::kHead;  // the next document starts
      return Step::kDone;
    }
    if (state_ == State::kProlog) {
      foreign_at_ = doc_at_;
      return Step::kForeign;
    }
    return Damage(pos_, "a DOCTYPE after the document's start");
  }
  return Damage(pos_, "\"<!\" that starts no comment or CDATA section");
}

XmlScanner::Step XmlScanner::StartTag(bool final) {
  const char* const b = buf_.data();
  const std::size_t end = buf_.size();
  const Position tag = PositionOf(pos_);
  const std::uint32_t line = line_;
  const std::uint64_t line_start = line_start_;
  auto more = [&](const char* what) {
    if (final) return Damage(end, std::string("the input ends inside ") + what);
    line_ = line;  // read again with more bytes
    line_start_ = line_start;
    return Step::kMore;
  };
  std::size_t p = pos_ + 1;
  if (!NameStart(b[p])) return Damage(p, "'<' not followed by a name");
  while (p < end && NameChar(b[p])) ++p;
  if (p == end) return more("a start tag");
  const std::string_view name(b + pos_ + 1, p - pos_ - 1);
  const std::size_t colon = name.find(':');
  if (colon != std::string_view::npos && (colon == 0 || colon + 1 == name.size() ||
                                          name.find(':', colon + 1) != std::string_view::npos)) {
    return Damage(pos_ + 1,
                  "element name " + Quoted(name) + " is not a name with one prefix at most");
  }
  const std::string_view local = colon == std::string_view::npos ? name : name.substr(colon + 1);
  attributes_.clear();
  decoded_.clear();
  values_.clear();
  bool empty = false;
  for (;;) {
    const std::size_t white = p;
    while (p < end && Blank(b[p])) {
      if (b[p] == '\n') Line(p);
      ++p;
    }
    if (p == end) return more("a start tag");
    if (b[p] == '>') {
      ++p;
      break;
    }
    if (b[p] == '/') {
      if (p + 1 == end) return more("a start tag");
      if (b[p + 1] != '>') return Damage(p + 1, "'/' not followed by '>' in a start tag");
      p += 2;
      empty = true;
      break;
    }
    if (p == white || !NameStart(b[p])) {
      return Damage(p, "character " + Quoted(std::string_view(b + p, 1)) +
                           " where an attribute or the tag's end belongs");
    }
    const std::size_t name_start = p;
    while (p < end && NameChar(b[p])) ++p;
    const std::string_view attribute(b + name_start, p - name_start);
    while (p < end && Blank(b[p])) {
      if (b[p] == '\n') Line(p);
      ++p;
    }
    if (p == end) return more("a start tag");
    if (b[p] != '=')
      return Damage(p, "attribute " + Quoted(attribute) + " without '=' and a value");
    ++p;
    while (p < end && Blank(b[p])) {
      if (b[p] == '\n') Line(p);
      ++p;
    }
    if (p == end) return more("a start tag");
    const char quote = b[p];
    if (quote != '"' && quote != '\'') {
      return Damage(p, "the value of attribute " + Quoted(attribute) + " is not quoted");
    }
    const std::size_t value_start = ++p;
    bool plain = true;
    for (; p < end && b[p] != quote; ++p) {
      const unsigned char c = static_cast<unsigned char>(b[p]);
      if (c < 0x20 || c == '&' || c == '<' || c >= 0x80) {
        plain = false;
        break;
      }
    }
    std::size_t decoded = std::string::npos;
    if (!plain) {
      // References undone, white space as blanks, the rest checked.
      values_.append(b + value_start, p - value_start);
      while (p < end && b[p] != quote) {
        const unsigned char c = static_cast<unsigned char>(b[p]);
        if (c == '<') return Damage(p, "'<' in the value of attribute " + Quoted(attribute));
        if (c == '&') {
          std::size_t size = 0;
          bool need = false;
          if (!Reference(p, &size, final, &need)) return need ? more("a start tag") : Step::kDamage;
          values_ += ref_;
          p += size;
        } else if (c == '\r') {
          if (p + 1 == end) return more("a start tag");
          if (b[p + 1] == '\n') ++p;
          values_ += ' ';
          if (b[p] == '\n') Line(p);
          ++p;
        } else if (c == '\n' || c == '\t') {
          if (c == '\n') Line(p);
          values_ += ' ';
          ++p;
        } else if (c < 0x20) {
          return Damage(p, "character " + Hex(c) + " is not allowed in XML");
        } else if (c >= 0x80) {
          const std::size_t n =
              Utf8SequenceLength(reinterpret_cast<const unsigned char*>(b + p), end - p);
          if (n == 0 && end - p < 4 && !final) return more("a start tag");
          if (n == 0) return Damage(p, "bytes that are not UTF-8");
          if (n == 3 && c == 0xEF && static_cast<unsigned char>(b[p + 1]) == 0xBF &&
              static_cast<unsigned char>(b[p + 2]) >= 0xBE) {
            return Damage(p, "character U+FFFE or U+FFFF is not allowed in XML");
          }
          values_.append(b + p, n);
          p += n;
        } else {
          values_ += static_cast<char>(c);
          ++p;
        }
      }
      decoded = values_.size();
    }
    if (p == end) return more("a start tag");
    ++p;  // the closing quote
    for (const Attribute& a : attributes_) {
      if (SameName(a.full_name, attribute)) {
        return Damage(name_start, "attribute " + Quoted(attribute) + " given twice");
      }
    }
    // Field by field: a whole Attribute stored at once stalls on the
    // views just made.
    attributes_.emplace_back();
    Attribute& a = attributes_.back();
    a.full_name = attribute;
    std::size_t a_colon = attribute.size();
    while (a_colon > 0 && attribute[a_colon - 1] != ':') --a_colon;
    a.name = attribute.substr(a_colon);
    a.value = std::string_view(b + value_start, p - 1 - value_start);
    decoded_.push_back(decoded);
  }
  // Values undone in values_ are viewed once it no longer grows.
  std::size_t from = 0;
  for (std::size_t i = 0; i < attributes_.size(); ++i) {
    if (decoded_[i] == std::string::npos) continue;
    attributes_[i].value = std::string_view(values_).substr(from, decoded_[i] - from);
    from = decoded_[i];
  }
  if (state_ == State::kProlog) state_ = State::kContent;
  pos_ = p;
  if (!empty) {
    names_.append(name.data(), name.size());
    open_.push_back(Open{names_.size(), local == "collection"});
  }
  handler_.XmlStart(local, attributes_.data(), attributes_.size(), tag, PositionOf(p));
  if (empty) {
    handler_.XmlEnd();
    if (open_.empty()) state_ = State::kEpilogue;
  }
  return Step::kDone;
}

XmlScanner::Step XmlScanner::EndTag(bool final) {
  const char* const b = buf_.data();
  const std::size_t end = buf_.size();
  const std::uint32_t line = line_;
  const std::uint64_t line_start = line_start_;
  std::size_t p = pos_ + 2;
  if (p < end && !NameStart(b[p])) return Damage(p, "\"</\" not followed by a name");
  while (p < end && NameChar(b[p])) ++p;
  const std::string_view name(b + pos_ + 2, p - pos_ - 2);
  while (p < end && Blank(b[p])) {
    if (b[p] == '\n') Line(p);
    ++p;
  }
  if (p == end) {
    if (final) return Damage(end, "the input ends inside an end tag");
    line_ = line;
    line_start_ = line_start;
    return Step::kMore;
  }
  if (b[p] != '>') {
    return Damage(p, "character " + Quoted(std::string_view(b + p, 1)) + " in an end tag");
  }
  if (open_.empty()) {
    return Damage(pos_, "end tag " + Quoted(name) + " with no element open");
  }
  const std::size_t from = open_.size() > 1 ? open_[open_.size() - 2].name_end : 0;
  const std::string_view open(names_.data() + from, open_.back().name_end - from);
  if (!SameName(name, open)) {
    return Damage(pos_, "end tag " + Quoted(name) + " does not match start tag " + Quoted(open));
  }
  names_.resize(from);
  open_.pop_back();
  pos_ = p + 1;
  handler_.XmlEnd();
  if (open_.empty()) state_ = State::kEpilogue;
  return Step::kDone;
}

bool XmlScanner::Reference(std::size_t at, std::size_t* size, bool final, bool* more) {
  const char* const b = buf_.data();
  const std::size_t end = buf_.size();
  const std::size_t limit = std::min(end, at + kMaxReference);
  const void* semi = std::memchr(b + at + 1, ';', limit - at - 1);
  if (semi == nullptr) {
    if (limit == end && !final) {
      *more = true;
      return false;
    }
    Damage(at, "'&' that starts no reference (write \"&amp;\")");
    return false;
  }
  const std::size_t stop = static_cast<std::size_t>(static_cast<const char*>(semi) - b);
  const std::string_view name(b + at + 1, stop - at - 1);
  *size = stop + 1 - at;
  ref_.clear();
  if (!name.empty() && name[0] == '#') {
    const bool hex = name.size() > 1 && name[1] == 'x';
    std::string_view digits = name.substr(hex ? 2 : 1);
    std::uint32_t c = 0;
    bool ok = !digits.empty();
    for (char d : digits) {
      unsigned v;
      if (d >= '0' && d <= '9') {
        v = static_cast<unsigned>(d - '0');
      } else if (hex && d >= 'a' && d <= 'f') {
        v = static_cast<unsigned>(d - 'a' + 10);
      } else if (hex && d >= 'A' && d <= 'F') {
        v = static_cast<unsigned>(d - 'A' + 10);
      } else {
        ok = false;
        break;
      }
      c = c * (hex ? 16 : 10) + v;
      if (c > 0x10FFFF) c = 0x110000;  // stays invalid, and does not wrap
    }
    if (!ok) {
      Damage(at,
             "character reference " + Quoted(std::string_view(b + at, *size)) + " is not a number");
      return false;
    }
    if (!XmlChar(c)) {
      Damage(at, "character reference " + Quoted(std::string_view(b + at, *size)) +
                     " is to no XML character");
      return false;
    }
    char out[4];
    ref_.assign(out, EncodeUtf8(c, out));
    return true;
  }
  if (name == "lt") {
    ref_ = "<";
  } else if (name == "gt") {
    ref_ = ">";
  } else if (name == "amp") {
    ref_ = "&";
  } else if (name == "apos") {
    ref_ = "'";
  } else if (name == "quot") {
    ref_ = "\"";
  } else {
    Damage(at, "entity " + Quoted(name) + " is not declared (only lt, gt, amp, apos and quot are)");
    return false;
  }
  return true;
}

XmlScanner::Step XmlScanner::Text(bool final) {
  const char* const b = buf_.data();
  const std::size_t end = buf_.size();
  std::size_t p = pos_;
  if (state_ != State::kContent) {
    // Outside the root element: white space only.
    while (p < end && Blank(b[p])) {
      if (b[p] == '\n') Line(p);
      ++p;
    }
    if (p < end && b[p] != '<') {
      if (state_ == State::kEpilogue && end - p < 3 && !final &&
          static_cast<unsigned char>(b[p]) == 0xEF) {
        pos_ = p;
        return Step::kMore;
      }
      if (state_ == State::kEpilogue && end - p >= 3 &&
          std::memcmp(b + p, "\xEF\xBB\xBF", 3) == 0) {
        pos_ = p;
        state_ = State::kHead;  // a byte order mark starts the next document
        return Step::kDone;
      }
      return Damage(p, state_ == State::kEpilogue ? "text after the document's root element"
                                                  : "text before the document's root element");
    }
    if (p > pos_) first_in_doc_ = false;
    pos_ = p;
    return p == end ? Step::kMore : Step::kDone;
  }
  std::size_t run = p;
  Position run_at = PositionOf(p);
  auto deliver = [&](std::size_t to) {
    if (to > run) handler_.XmlText(b + run, to - run, run_at);
  };
  auto restart = [&](std::size_t at) {
    run = at;
    run_at = PositionOf(at);
  };
  for (;;) {
    // Eight bytes at a time to the next byte that is not plain text.
    while (end - p >= 8) {
      const std::uint64_t w = word_scan::Load8(b + p);
      const std::uint64_t hits = word_scan::BelowBits(w, 0x20) | word_scan::HighBits(w) |
                                 word_scan::EqualBits(w, '<') | word_scan::EqualBits(w, '&') |
                                 word_scan::EqualBits(w, ']');
      if (hits != 0) {
        p += static_cast<std::size_t>(__builtin_ctzll(hits)) >> 3;
        break;
      }
      p += 8;
    }
    while (p < end) {
      const unsigned char c = static_cast<unsigned char>(b[p]);
      if (c < 0x20 || c >= 0x80 || c == '<' || c == '&' || c == ']') break;
      ++p;
    }
    if (p == end) {
      deliver(p);
      pos_ = p;
      return Step::kMore;
    }
    const unsigned char c = static_cast<unsigned char>(b[p]);
    if (c == '<') {
      deliver(p);
      pos_ = p;
      return Step::kDone;
    }
    if (c == '\n') {
      Line(p++);
    } else if (c == '\t') {
      ++p;
    } else if (c == '\r') {
      // A line end is a line feed, whichever bytes wrote it.
      deliver(p);
      if (p + 1 == end && !final) {
        pos_ = p;
        return Step::kMore;
      }
      if (p + 1 < end && b[p + 1] == '\n') {
        restart(++p);
      } else {
        handler_.XmlText("\n", 1, PositionOf(p));
        restart(++p);
      }
    } else if (c < 0x20) {
      deliver(p);
      return Damage(p, "character " + Hex(c) + " is not allowed in XML");
    } else if (c >= 0x80) {
      const std::size_t n =
          Utf8SequenceLength(reinterpret_cast<const unsigned char*>(b + p), end - p);
      if (n == 0 && end - p < 4 && !final) {
        deliver(p);
        pos_ = p;
        return Step::kMore;
      }
      if (n == 0) {
        deliver(p);
        return Damage(p, "bytes that are not UTF-8");
      }
      if (n == 3 && c == 0xEF && static_cast<unsigned char>(b[p + 1]) == 0xBF &&
          static_cast<unsigned char>(b[p + 2]) >= 0xBE) {
        deliver(p);
        return Damage(p, "character U+FFFE or U+FFFF is not allowed in XML");
      }
      p += n;
    } else if (c == '&') {
      deliver(p);
      std::size_t size = 0;
      bool need = false;
      if (!Reference(p, &size, final, &need)) {
        if (!need) return Step::kDamage;
        pos_ = p;
        return Step::kMore;
      }
      handler_.XmlText(ref_.data(), ref_.size(), PositionOf(p));
      p += size;
      restart(p);
    } else {  // ']'
      if (end - p < 3 && !final) {
        deliver(p);
        pos_ = p;
        return Step::kMore;
      }
      if (end - p >= 3 && b[p + 1] == ']' && b[p + 2] == '>') {
        deliver(p);
        return Damage(p, "\"]]>\" in character data");
      }
      ++p;
    }
  }
}

bool XmlScanner::Chars(std::size_t from, std::size_t to, const char* where) {
  const char* const b = buf_.data();
  for (std::size_t p = from; p < to;) {
    const unsigned char c = static_cast<unsigned char>(b[p]);
    if (c >= 0x20 && c < 0x80) {
      ++p;
      continue;
    }
    if (c == '\n') {
      Line(p++);
      continue;
    }
    if (c == '\t' || c == '\r') {
      ++p;
      continue;
    }
    if (c < 0x20) {
      Damage(p, "character " + Hex(c) + " is not allowed in XML (in " + where + ")");
      return false;
    }
    const std::size_t n = Utf8SequenceLength(reinterpret_cast<const unsigned char*>(b + p), to - p);
    if (n == 0) {
      Damage(p, std::string("bytes that are not UTF-8 (in ") + where + ")");
      return false;
    }
    if (n == 3 && c == 0xEF && static_cast<unsigned char>(b[p + 1]) == 0xBF &&
        static_cast<unsigned char>(b[p + 2]) >= 0xBE) {
      Damage(p, std::string("character U+FFFE or U+FFFF is not allowed in XML (in ") + where + ")");
      return false;
    }
    p += n;
  }
  return true;
}

XmlScanner::Step XmlScanner::Comment(bool final) {
  const char* const b = buf_.data();
  const std::size_t end = buf_.size();
  const std::size_t from = pos_ + 4;
  const std::string_view rest(b + from, end - from);
  const std::size_t dashes = rest.find("--");
  if (dashes == std::string_view::npos || from + dashes + 2 >= end) {
    if (!final) return Step::kMore;
    if (!Chars(from, end, "a comment")) return Step::kDamage;
    return Damage(end, "the input ends inside a comment");
  }
  const std::size_t stop = from + dashes;
  if (!Chars(from, stop, "a comment")) return Step::kDamage;
  if (b[stop + 2] != '>') return Damage(stop, "\"--\" inside a comment");
  pos_ = stop + 3;
  first_in_doc_ = false;
  return Step::kDone;
}

XmlScanner::Step XmlScanner::Pi(bool final) {
  const char* const b = buf_.data();
  const std::size_t end = buf_.size();
  const std::size_t close = std::string_view(b + pos_ + 2, end - pos_ - 2).find("?>");
  if (close == std::string_view::npos) {
    if (!final) return Step::kMore;
  }
  const std::size_t stop = close == std::string_view::npos ? end : pos_ + 2 + close;
  std::size_t p = pos_ + 2;
  if (p < stop && !NameStart(b[p])) return Damage(p, "\"<?\" not followed by a name");
  while (p < stop && NameChar(b[p])) ++p;
  const std::string_view target(b + pos_ + 2, p - pos_ - 2);
  if (target.empty()) return Damage(p, "\"<?\" not followed by a name");
  if (p < stop && !Blank(b[p])) {
    return Damage(p, "character " + Quoted(std::string_view(b + p, 1)) +
                         " after a processing instruction's name");
  }
  if (!Chars(p, stop, "a processing instruction")) return Step::kDamage;
  if (close == std::string_view::npos) {
    return Damage(end, "the input ends inside a processing instruction");
  }
  const bool xml = target.size() == 3 && (target[0] | 0x20) == 'x' && (target[1] | 0x20) == 'm' &&
                   (target[2] | 0x20) == 'l';
  if (xml) {
    if (target != "xml" || state_ != State::kProlog || !first_in_doc_) {
      return Damage(pos_, "an XML declaration not at the document's start");
    }
    const Step step = XmlDeclaration(stop);
    if (step != Step::kDone) return step;
  }
  pos_ = stop + 2;
  first_in_doc_ = false;
  return Step::kDone;
}

XmlScanner::Step XmlScanner::XmlDeclaration(std::size_t stop) {
  // version="1.x" [encoding="..."] [standalone="yes|no"], in that order.
  const char* const b = buf_.data();
  std::size_t p = pos_ + 5;
  static const char* const kNames[] = {"version", "encoding", "standalone"};
  std::size_t next = 0;
  bool version = false;
  for (;;) {
    const std::size_t white = p;
    while (p < stop && Blank(b[p])) ++p;
    if (p == stop) break;
    std::size_t n = p;
    while (n < stop && NameChar(b[n])) ++n;
    const std::string_view name(b + p, n - p);
    std::size_t which = next;
    while (which < 3 && name != kNames[which]) ++which;
    if (p == white || which == 3 || (which != 0 && !version)) {
      return Damage(p, "the XML declaration holds " + Quoted(name) + " where it does not belong");
    }
    next = which + 1;
    p = n;
    while (p < stop && Blank(b[p])) ++p;
    if (p == stop || b[p] != '=')
      return Damage(p, "the XML declaration's " + Quoted(name) + " has no value");
    ++p;
    while (p < stop && Blank(b[p])) ++p;
    if (p == stop || (b[p] != '"' && b[p] != '\'')) {
      return Damage(p, "the XML declaration's " + Quoted(name) + " has no quoted value");
    }
    const char quote = b[p];
    const std::size_t value_start = ++p;
    while (p < stop && b[p] != quote) ++p;
    if (p == stop) return Damage(p, "the XML declaration's " + Quoted(name) + " is not closed");
    const std::string_view value(b + value_start, p - value_start);
    ++p;
    if (which == 0) {
      version = true;
      if (value.size() < 3 || value.substr(0, 2) != "1." ||
          value.find_first_not_of("0123456789", 2) != std::string_view::npos) {
        return Damage(value_start, "XML version " + Quoted(value) + " is not 1.x");
      }
    } else if (which == 1) {
      if (!Utf8Name(value)) {
        foreign_at_ = doc_at_;
        return Step::kForeign;
      }
    } else if (value != "yes" && value != "no") {
      return Damage(value_start, "standalone " + Quoted(value) + " is not yes or no");
    }
  }
  if (!version) return Damage(pos_, "an XML declaration without a version");
  return Step::kDone;
}

XmlScanner::Step XmlScanner::Cdata(bool final) {
  const char* const b = buf_.data();
  const std::size_t end = buf_.size();
  const std::size_t from = pos_ + 9;
  const std::size_t close = std::string_view(b + from, end - from).find("]]>");
  if (close == std::string_view::npos && !final) return Step::kMore;
  if (state_ != State::kContent) return Damage(pos_, "a CDATA section outside the root element");
  const std::size_t stop = close == std::string_view::npos ? end : from + close;
  // Checked first (lines are counted while it is handed on).
  const std::uint32_t line = line_;
  const std::uint64_t line_start = line_start_;
  if (!Chars(from, stop, "a CDATA section")) return Step::kDamage;
  line_ = line;
  line_start_ = line_start;
  std::size_t run = from;
  Position run_at = PositionOf(from);
  for (std::size_t p = from; p < stop; ++p) {
    if (b[p] == '\n') {
      Line(p);
    } else if (b[p] == '\r') {
      if (p > run) handler_.XmlText(b + run, p - run, run_at);
      if (p + 1 == stop || b[p + 1] != '\n') handler_.XmlText("\n", 1, PositionOf(p));
      run = p + 1;
      run_at = PositionOf(run);
    }
  }
  if (stop > run) handler_.XmlText(b + run, stop - run, run_at);
  if (close == std::string_view::npos) return Damage(end, "the input ends inside a CDATA section");
  pos_ = stop + 3;
  return Step::kDone;
}

}  // namespace quillet
