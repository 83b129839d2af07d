#ifndef QUILLET_FORMATS_MARCXML_READER_H_
#define QUILLET_FORMATS_MARCXML_READER_H_

#include <cstddef>
#include <cstdint>
#include <exception>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "formats/text_record_stream.h"
#include "formats/xml_scanner.h"

// libxml2's parser context, kept out of the readers' shared headers.
struct _xmlParserCtxt;
struct _xmlError;

namespace quillet {

// Reads MARCXML: a collection of records or one record, in the MARC21 slim
// namespace, in none, or under any prefix; elements are told by their local
// names. Documents one after another (records or collections written end to
// end) are read on. Each document's head decides who parses it: a UTF-8
// document (declared or not, a byte order mark allowed) without a DOCTYPE
// is read by XmlScanner, our own in-place parser, with no tree and no
// allocation per element; any other encoding or a DOCTYPE hands the
// document, and all that follows it, to libxml2's SAX2 push parser. Both
// take the input chunk by chunk, so memory does not grow with the file.
//
// Each record is built as ISO 2709 from its leader (length and base address
// computed again), control fields and data fields in document order. A
// subfield with code="" is the bytes before the first delimiter when it comes
// first and holds text (as writeMarcXml() writes them), otherwise a
// delimiter with no code. Missing or empty indicators are blanks. Text is
// taken as the parser gives it, UTF-8, untouched (the scanner takes none
// that is not; a byte that is not UTF-8 libxml2 reports and hands on as it
// is).
//
// Damage is reported with its line and column. In documents the scanner
// reads: XML that is not well-formed (kMalformed, with a detail of ours),
// after which the record it lies in ends there with the fields read so far
// (kTruncated) and reading goes on at the next "<record" start tag (see
// XmlScanner for what that recovers). In documents libxml2 reads:
// libxml2's errors (kMalformed, its message as detail; it recovers where
// XML allows); when it cannot read on, the record open there is kept with
// what it holds so far (kTruncated), and the input ends. In both: elements
// that are not MARCXML or stand in the wrong place (kUnknownContent,
// skipped with their content), text where none belongs (kUnknownContent),
// and fields that cannot be taken as they stand (kBadField).
//
// Record offsets are those of the `<record` start tag in the input; problem
// offsets where the damage starts when it is known (an element's start tag,
// the first character of stray text, a field's content), otherwise where
// the parser stood. Both count the input's bytes for UTF-8 documents; for
// documents in another encoding they count the text libxml2 converted.
// Columns count bytes, except, in documents libxml2 reads, for lines that
// began before its buffer, where they are libxml2's character count.
//
// No network access, no external entity or DTD is loaded; internal entities
// (in documents with a DOCTYPE) are expanded by libxml2 within its default
// limits. No text piece is kept
// beyond the longest record ISO 2709 can hold.
//
// Owns its input and its parser context; one thread at a time.
class MarcXmlReader : public TextRecordStream, private XmlScanner::Handler {
 public:
  MarcXmlReader(std::unique_ptr<ChunkSource> source, const Reader::Options& options);
  ~MarcXmlReader() override;
  MarcXmlReader(const MarcXmlReader&) = delete;
  MarcXmlReader& operator=(const MarcXmlReader&) = delete;

 protected:
  bool Produce() override;

 private:
  enum class Element : std::uint8_t {
    kCollection,
    kRecord,
    kLeader,
    kControlField,
    kDataField,
    kSubfield,
  };
  // Where something stands in the input.
  struct Where {
    std::uint64_t offset = 0;
    std::uint32_t line = 0;
    std::uint32_t column = 0;
  };

  // The libxml2 callbacks; `self` is the reader.
  static void OnStart(void* self, const unsigned char* localname, const unsigned char* prefix,
                      const unsigned char* uri, int nb_namespaces, const unsigned char** namespaces,
                      int nb_attributes, int nb_defaulted, const unsigned char** attributes);
  static void OnEnd(void* self, const unsigned char* localname, const unsigned char* prefix,
                    const unsigned char* uri);
  static void OnText(void* self, const unsigned char* text, int size);
  static void OnReference(void* self, const unsigned char* name);
  static void OnError(void* self, _xmlError* error);

  // Keeps the exception a callback threw and stops libxml2; ThrowFailure()
  // throws it again once libxml2 has returned.
  void Fail(void* ctxt);
  void ThrowFailure();
  void NewContext();
  void FreeContext();
  // Feeds `data` to libxml2, through the documents that follow one another.
  void Push(std::string_view data);
  // When libxml2 stopped at a document that follows the one it read: a new
  // context from there, with the bytes it had not read in `rest`.
  bool Restart(std::string& rest);
  // The scanner's callbacks (see XmlScanner::Handler).
  void XmlStart(std::string_view local_name, const XmlScanner::Attribute* attributes,
                std::size_t count, const XmlScanner::Position& tag,
                const XmlScanner::Position& content) override;
  void XmlEnd() override;
  void XmlText(const char* text, std::size_t size, const XmlScanner::Position& at) override;
  void XmlDamage(const XmlScanner::Position& at, std::string detail) override;
  void XmlDrop(std::size_t depth, const XmlScanner::Position& at) override;

  // Produce() once libxml2 reads the input.
  bool ProduceXml();
  // The value of the start tag's attribute `name` (its local name); false
  // when absent. Valid until the next call.
  template <std::size_t N>
  bool Attribute(const char (&name)[N], std::string_view* value);
  // Where the parser stands.
  Where Here() const;
  void Start(std::string_view name);
  void End();
  void Text(const char* text, std::size_t size);
  void StartRecord(const Where& at);
  void StartField(Element element, const Where& at);
  void EndLeader();
  void AddField();
  // Ends the record open when the input ends or cannot be read on: what it
  // holds is kept, with a kTruncated problem.
  void CloseOpenRecord();

  // The position of `at`, a byte in libxml2's buffer of the input (before
  // its current position), or libxml2's current position when it is not.
  Where At(const unsigned char* at) const;
  // The position of text[i], in text libxml2 has just handed.
  Where TextAt(const char* text, std::size_t size, std::size_t i) const;
  // The start tag libxml2 has just read.
  Where StartTag() const;
  void Report(Problem::Kind kind, const Where& at, std::string detail);
  void AppendText(std::string& to, const char* text, std::size_t size);

  XmlScanner scanner_;
  bool libxml_ = false;  // libxml2 reads the input from the document it was handed on
  // The start tag at hand: its attributes (from the scanner or libxml2) and,
  // from the scanner, where it and its content start; where text starts.
  const XmlScanner::Attribute* fast_attributes_ = nullptr;
  std::size_t fast_count_ = 0;
  int xml_count_ = 0;
  const unsigned char** xml_attributes_ = nullptr;
  Where tag_at_;
  Where content_at_;
  Where text_at_;

  _xmlParserCtxt* ctxt_ = nullptr;
  bool done_ = false;
  std::exception_ptr failure_;  // thrown by a callback, for Produce() to throw
  bool halted_ = false;         // libxml2 cannot read on
  std::string chunk_;
  std::string held_;  // the end of the last chunk, for the next (see XmlHeldBytes)
  // Where the context's document starts, its line and column less one: the
  // context counts from there.
  Where base_;
  bool next_document_ = false;  // libxml2 stopped at a document that follows
  Where next_base_;
  std::string following_;  // its bytes libxml2 had not read

  std::vector<Element> open_;   // the MARCXML elements open, outermost first
  std::size_t skip_depth_ = 0;  // > 0: inside an element skipped, this many levels deep
  bool text_reported_ = false;  // text where none belongs reported in the innermost element
  bool leader_seen_ = false;
  unsigned indicators_ = 2;      // the indicator count the leader states
  std::size_t record_size_ = 0;  // the record's ISO 2709 bytes so far
  bool record_full_ = false;     // fields dropped: the record reached the most ISO 2709 holds
  std::string attribute_;        // an attribute's value with its '&' undone
  char tag_[3] = {' ', ' ', ' '};
  Where record_at_;   // where the open record starts
  Where field_at_;    // where the open leader's or field's content starts
  std::string text_;  // the open leader's, control field's or subfield's text
  bool text_cut_ = false;
  std::string content_;        // the open data field's content
  std::size_t subfields_ = 0;  // subfields of the open data field
  char code_ = '\0';           // the open subfield's code
  bool prefix_ = false;        // the open subfield holds the bytes before the first delimiter
};

}  // namespace quillet

#endif  // QUILLET_FORMATS_MARCXML_READER_H_
