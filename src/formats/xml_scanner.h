#ifndef QUILLET_FORMATS_XML_SCANNER_H_
#define QUILLET_FORMATS_XML_SCANNER_H_

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace quillet {

// An XML parser of our own for UTF-8 documents without a DOCTYPE, in the
// manner of in-place parsers: the bytes of the input are scanned where they
// lie (eight at a time for text), no tree is built and nothing is allocated
// per element; the handler gets start tags (with their attributes), end
// tags and character data, the last as views of the input wherever no
// reference or line end had to be replaced.
//
// It checks what it accepts: tags and end tags that match (names with one
// prefix at most, elements told by the local name whatever the prefix; no
// namespace declaration is looked up), attributes in either quote with no
// name twice, character data that is UTF-8 and XML characters ("]]>" not in
// it), the five predefined entities and character references to XML
// characters (given as UTF-8), CDATA sections, comments (no "--" inside),
// processing instructions, the XML declaration. Line ends are given as
// line feeds, and white space in attribute values as blanks, as XML has
// them read. Names are checked as ASCII name characters or any UTF-8
// character beyond ASCII, looser than XML for the latter.
//
// A document's head decides: after a byte order mark and the XML
// declaration, an encoding other than UTF-8, a UTF-16 byte order mark or a
// DOCTYPE stops the scanner (kForeign) with the document's bytes still in
// its buffer (ForeignDocument()), for a parser that reads them. Documents
// one after another are read on: after the root element, an element, an
// XML declaration, a DOCTYPE or a byte order mark starts the next one,
// decided at its head again.
//
// Damage (anything not well-formed) is reported to the handler with where
// it is, at the offending byte. The scanner then looks for the next
// "<record" start tag (any prefix) by its bytes alone, and reads on from
// there as the next record of the outermost collection elements open; the
// other elements open are dropped, and the handler told (XmlDrop). So the
// records before the damage are kept, the one it lies in ends there (a
// leader or field not yet ended is lost), and the records after it are
// read as if nothing had happened. What is not recovered: the text between
// the damage and that start tag (a record start tag in it is not told from
// one in a comment, CDATA section or attribute value, and is read as a
// record); a comment, CDATA section or processing instruction not closed
// swallows the rest of the input; a document head skipped this way (a
// DOCTYPE, another encoding) is not decided, its records read here. Input
// ending inside a construct or an element is damage too (the caller adds
// kTruncated for the record open).
//
// The buffer keeps the bytes not yet read: the end of a chunk that holds
// part of a construct. A tag, comment, processing instruction or CDATA
// section longer than kMaxHeld is damage; text is handed on as it comes,
// so memory stays bounded (kMaxHeld and a chunk) whatever the input.
//
// Offsets count the input's bytes from the first chunk, lines its line
// feeds, columns the bytes from the line's start, all from 1 but offsets.
// Owns its buffer; views it hands are valid during the callback. One
// thread at a time.
class XmlScanner {
 public:
  struct Position {
    std::uint64_t offset = 0;
    std::uint32_t line = 1;
    std::uint32_t column = 1;
  };
  // An attribute: its local name and its value, references undone (views
  // valid during the start tag's callback).
  struct Attribute {
    std::string_view name;
    std::string_view value;
    std::string_view full_name;  // with its prefix
  };
  class Handler {
   public:
    virtual ~Handler() = default;
    // A start tag: `tag` at its '<', `content` after its '>'. An empty
    // element's end follows at once.
    virtual void XmlStart(std::string_view local_name, const Attribute* attributes,
                          std::size_t count, const Position& tag, const Position& content) = 0;
    virtual void XmlEnd() = 0;
    // Character data starting at `at` (or, for a reference, at its '&').
    virtual void XmlText(const char* text, std::size_t size, const Position& at) = 0;
    virtual void XmlDamage(const Position& at, std::string detail) = 0;
    // After damage: the elements open beyond the first `depth` are dropped
    // without their end tags.
    virtual void XmlDrop(std::size_t depth, const Position& at) = 0;
  };

  enum class Status : std::uint8_t {
    kMore,     // all read; more input wanted
    kForeign,  // a document for another parser (see ForeignDocument())
    kEnd,      // the input ended (Finish() only)
  };

  // The most bytes of one construct held while waiting for its end: more
  // than a record ISO 2709 can state (99999 bytes) and a CDATA section's
  // markup, so no construct of a record that can be built is refused.
  static constexpr std::size_t kMaxHeld = 100016;

  explicit XmlScanner(Handler& handler) : handler_(handler) {}
  XmlScanner(const XmlScanner&) = delete;
  XmlScanner& operator=(const XmlScanner&) = delete;

  // Where the next chunk is appended, for Feed() to read: the input is
  // copied once, into the buffer the scanner reads in place.
  std::string& input() { return buf_; }
  // Reads on through what was appended to input().
  Status Feed();
  // The input ended: what is held is read to the end, its damage reported.
  Status Finish();

  // After kForeign: the foreign document's bytes held (the rest of the
  // input follows them), where it starts, and the scanner is done.
  std::string_view ForeignDocument() const;
  const Position& foreign_at() const { return foreign_at_; }
  // Where the scanner stands (at the input's end after Finish()).
  Position Here() const { return PositionOf(pos_); }
  // Whether an element is open.
  bool in_element() const { return !open_.empty(); }

 private:
  enum class State : std::uint8_t { kHead, kProlog, kContent, kEpilogue, kResync };
  enum class Step : std::uint8_t { kDone, kMore, kDamage, kForeign };
  struct Open {
    std::size_t name_end;  // in names_
    bool collection;       // local name "collection"
  };

  Status Run(bool final);
  Step Head(bool final);
  Step Markup(bool final);
  Step Text(bool final);
  Step StartTag(bool final);
  Step EndTag(bool final);
  Step Comment(bool final);
  Step Pi(bool final);
  Step Cdata(bool final);
  Step XmlDeclaration(std::size_t end);
  // Decodes the reference at pos_ into ref_ (false: damage reported, or
  // more wanted when *more).
  bool Reference(std::size_t at, std::size_t* size, bool final, bool* more);
  // Checks [from, to) for characters XML does not allow, counting lines;
  // false with the damage reported.
  bool Chars(std::size_t from, std::size_t to, const char* where);
  void Resync(bool final);

  Step Damage(std::size_t at, std::string detail);
  // Where buf_[at] stands. Lines are counted up to line_start_: a byte
  // after it is on line_, one before it is counted back to (rare: damage
  // found past a line feed).
  __attribute__((always_inline)) Position PositionOf(std::size_t at) const {
    if (base_ + at < line_start_) return PositionBefore(at);
    return Position{base_ + at, line_, static_cast<std::uint32_t>(base_ + at - line_start_ + 1)};
  }
  Position PositionBefore(std::size_t at) const;
  void Line(std::size_t at) {  // a line feed at buf_[at]
    ++line_;
    line_start_ = base_ + at + 1;
  }
  void Compact();

  Handler& handler_;
  std::string buf_;
  std::size_t pos_ = 0;     // the first byte not read
  std::uint64_t base_ = 0;  // the input offset of buf_[0]
  std::uint32_t line_ = 1;
  std::uint64_t line_start_ = 0;  // the input offset of the line's first byte
  State state_ = State::kHead;
  std::size_t doc_start_ = 0;  // in buf_, while the head is read
  bool first_in_doc_ = true;   // nothing read of the document but a byte order mark
  Position doc_at_;            // where the document starts
  bool skip_first_ = false;    // Resync() passes the damaged byte first
  std::size_t retry_at_ = 0;   // in buf_: read on once it holds this much
  Position foreign_at_;
  bool foreign_ = false;

  std::string names_;  // the names of the open elements, one after another
  std::vector<Open> open_;
  std::vector<Attribute> attributes_;
  std::vector<std::size_t> decoded_;  // per attribute: its value's end in values_, or npos
  std::string values_;                // attribute values with references undone
  std::string ref_;                   // a reference's character
};

}  // namespace quillet

#endif  // QUILLET_FORMATS_XML_SCANNER_H_
