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

// libxml2's parser context, kept out of the readers' shared headers.
struct _xmlParserCtxt;
struct _xmlError;

namespace quillet {

// Reads MARCXML: a collection of records or one record, in the MARC21 slim
// namespace, in none, or under any prefix; elements are told by their local
// names. Documents one after another (records or collections written end to
// end) are read on, each by a new parser. libxml2's SAX2 push parser takes
// the input chunk by chunk and no tree is built, so memory does not grow
// with the file.
//
// Each record is built as ISO 2709 from its leader (length and base address
// computed again), control fields and data fields in document order. A
// subfield with code="" is the bytes before the first delimiter when it comes
// first and holds text (as writeMarcXml() writes them), otherwise a
// delimiter with no code. Missing or empty indicators are blanks. Text is
// taken as libxml2 gives it, UTF-8, untouched (a byte that is not UTF-8 it
// reports and hands on as it is).
//
// Damage is reported with its line and column: libxml2's errors (kMalformed,
// its message as detail; it recovers where XML allows), elements that are
// not MARCXML or stand in the wrong place (kUnknownContent, skipped with
// their content), text where none belongs (kUnknownContent), and fields
// that cannot be taken as they stand (kBadField). When libxml2 cannot read
// on, the record open there is kept with what it holds so far
// (kTruncated), and the input ends.
//
// Record offsets are those of the `<record` start tag in the input; problem
// offsets where the damage starts when it is known (an element's start tag,
// the first character of stray text, a field's content), otherwise where
// libxml2 stood. Both count the input's bytes for UTF-8
// documents; for documents in another encoding they count the text libxml2
// converted. Columns count bytes, except for lines that began before the
// parser's buffer, where they are libxml2's character count.
//
// No network access, no external entity or DTD is loaded; internal entities
// are expanded by libxml2 within its default limits. No text piece is kept
// beyond the longest record ISO 2709 can hold.
//
// Owns its input and its parser context; one thread at a time.
class MarcXmlReader : public TextRecordStream {
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
  void Start(const char* name, int nb_attributes, const unsigned char** attributes);
  void End();
  void Text(const char* text, std::size_t size);
  void StartRecord(const Where& at);
  void StartField(Element element, const Where& at, int nb_attributes,
                  const unsigned char** attributes);
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
