#include "formats/marcxml_reader.h"

#include <libxml/SAX2.h>
#include <libxml/entities.h>
#include <libxml/parser.h>
#include <libxml/parserInternals.h>
#include <libxml/xmlerror.h>

#include <algorithm>
#include <cstring>
#include <exception>
#include <new>
#include <string_view>
#include <utility>

#include "quillet/iso2709.h"
#include "quillet/marc8.h"

namespace quillet {

namespace {

// The most bytes of text one piece (leader, field, subfield) may hold: more
// than the longest record ISO 2709 can state, so a piece this long is
// unbuildable in any case; it bounds memory whatever the input.
constexpr std::size_t kMaxXmlText = 100000;
// The most bytes a record may reach: ISO 2709 states five digits.
constexpr std::size_t kMaxXmlRecord = 99999;
// The most bytes handed to libxml2 at once (it takes an int).
constexpr std::size_t kMaxXmlPush = std::size_t{1} << 30;

bool XmlBlank(char c) { return c == ' ' || c == '\t' || c == '\n' || c == '\r'; }

// The value of the attribute `name` of a start tag as libxml2's SAX2 hands
// them (five pointers each: local name, prefix, URI, value, value end) in
// `*value`; false when absent. Not substituting entities, libxml2 keeps each
// '&' of a value as "&#38;": those are undone in `scratch`, which `*value`
// may then view until the next call.
bool XmlAttribute(int nb_attributes, const xmlChar** attributes, const char* name,
                  std::string_view* value, std::string& scratch) {
  for (int i = 0; i < nb_attributes; ++i) {
    const xmlChar** a = attributes + 5 * i;
    if (std::strcmp(reinterpret_cast<const char*>(a[0]), name) != 0) continue;
    *value = std::string_view(reinterpret_cast<const char*>(a[3]),
                              static_cast<std::size_t>(a[4] - a[3]));
    if (value->find('&') == std::string_view::npos) return true;
    scratch.clear();
    for (std::size_t k = 0; k < value->size();) {
      if (value->substr(k, 5) == "&#38;") {
        scratch += '&';
        k += 5;
      } else {
        scratch += (*value)[k++];
      }
    }
    *value = scratch;
    return true;
  }
  return false;
}

// Appends `text` to `out` as valid UTF-8 on one line, at most `most`
// characters of it: line feeds as blanks, bytes that are not UTF-8 (libxml2
// hands on those it has reported) as U+FFFD. True when all of it fit.
bool XmlAppendValid(std::string_view text, std::size_t most, std::string& out) {
  std::size_t i = 0;
  for (std::size_t characters = 0; i < text.size() && characters < most; ++characters) {
    const std::size_t n = utf8SequenceLength(text.substr(i));
    if (text[i] == '\n') {
      out += ' ';
      ++i;
    } else if (n == 0) {
      out += "\xEF\xBF\xBD";
      ++i;
    } else {
      out.append(text.data() + i, n);
      i += n;
    }
  }
  return i == text.size();
}

// `bytes` for a problem's detail: quoted, cut when long.
std::string XmlQuoted(std::string_view bytes) {
  std::string out = "\"";
  if (!XmlAppendValid(bytes, 20, out)) out += "...";
  return out + "\"";
}

// libxml2's message on one line, as valid UTF-8.
std::string XmlMessage(const char* message) {
  std::string_view text = message == nullptr ? std::string_view() : std::string_view(message);
  while (!text.empty() && XmlBlank(text.back())) text.remove_suffix(1);
  std::string out;
  XmlAppendValid(text, text.size(), out);
  return out;
}

// The callbacks: SAX2 element and text events; everything that would build a
// tree is left out. The document's start and its internal subset are
// libxml2's own, so that entities declared there are known; they build a
// document node with no children, freed with the context.
xmlSAXHandler MakeXmlHandler(startElementNsSAX2Func start, endElementNsSAX2Func end,
                             charactersSAXFunc text, referenceSAXFunc reference,
                             xmlStructuredErrorFunc error) {
  xmlSAXHandler sax;
  std::memset(&sax, 0, sizeof sax);
  sax.initialized = XML_SAX2_MAGIC;
  sax.internalSubset = xmlSAX2InternalSubset;
  sax.getEntity = xmlSAX2GetEntity;
  sax.entityDecl = xmlSAX2EntityDecl;
  sax.startDocument = xmlSAX2StartDocument;
  sax.startElementNs = start;
  sax.endElementNs = end;
  sax.characters = text;
  sax.ignorableWhitespace = text;
  sax.cdataBlock = text;
  sax.reference = reference;
  sax.serror = error;
  return sax;
}

// Once per process, before the first context: libxml2 asks for it before
// threads use the parser.
void InitXml() {
  static const bool done = (xmlInitParser(), true);
  (void)done;
}

}  // namespace

MarcXmlReader::MarcXmlReader(std::unique_ptr<ChunkSource> source, const Reader::Options& options)
    : TextRecordStream(std::move(source), options), scanner_(*this) {}

MarcXmlReader::~MarcXmlReader() { FreeContext(); }

void MarcXmlReader::NewContext() {
  InitXml();
  xmlSAXHandler sax = MakeXmlHandler(OnStart, OnEnd, OnText, OnReference, OnError);
  // The callbacks get the context (libxml2's own SAX2 callbacks need it),
  // and the reader through it.
  ctxt_ = xmlCreatePushParserCtxt(&sax, nullptr, nullptr, 0, nullptr);
  if (ctxt_ == nullptr) throw std::bad_alloc();
  ctxt_->_private = this;
  // No network, no DTD loaded, entities not substituted by the loader (so
  // no external one is ever read); whatever the process's defaults say.
  xmlCtxtUseOptions(ctxt_, XML_PARSE_RECOVER | XML_PARSE_NONET);
  ctxt_->replaceEntities = 0;
  ctxt_->loadsubset = 0;
  ctxt_->validate = 0;
}

void MarcXmlReader::FreeContext() {
  if (ctxt_ == nullptr) return;
  if (ctxt_->myDoc != nullptr) xmlFreeDoc(ctxt_->myDoc);
  xmlFreeParserCtxt(ctxt_);
  ctxt_ = nullptr;
}

bool MarcXmlReader::Restart(std::string& rest) {
  if (!next_document_) return false;
  // Records or collections put one after another: libxml2 stopped at the
  // start of the next document, and a new parser reads on from there. Only
  // when the document read something: where one cannot start, none can.
  next_document_ = false;
  if (next_base_.offset <= base_.offset) {
    following_.clear();
    return false;
  }
  rest.swap(following_);
  following_.clear();
  FreeContext();
  NewContext();
  base_ = next_base_;
  return true;
}

void MarcXmlReader::Push(std::string_view data) {
  std::string rest;
  while (!data.empty() && !halted_) {
    if (ctxt_ == nullptr) NewContext();
    const std::size_t n = std::min(data.size(), kMaxXmlPush);
    xmlParseChunk(ctxt_, data.data(), static_cast<int>(n), 0);
    ThrowFailure();
    data.remove_prefix(n);
    if (ctxt_->instate != XML_PARSER_EOF) continue;
    std::string joined;
    if (!Restart(joined)) {
      halted_ = true;
      return;
    }
    joined.append(data.data(), data.size());
    rest.swap(joined);
    data = rest;
  }
}

namespace {

// How many bytes at the end of `chunk` to hold back for the next one: from
// the last byte that is not ASCII when a few bytes at most follow it (a
// character the chunk may not hold whole, or a byte that is not UTF-8).
// libxml2 reads such bytes differently when little follows them in its
// buffer, so that without this what it makes of damage would depend on
// where the chunks end.
constexpr std::size_t kXmlLookahead = 8;
std::size_t XmlHeldBytes(std::string_view chunk) {
  for (std::size_t n = 1; n <= kXmlLookahead && n <= chunk.size(); ++n) {
    if (static_cast<unsigned char>(chunk[chunk.size() - n]) >= 0x80) return n;
  }
  return 0;
}

// The first push holds this many bytes at least (or the whole input):
// libxml2 tells the encoding and what kind of text it reads from them.
constexpr std::size_t kXmlFirstPush = 64;

}  // namespace

bool MarcXmlReader::Produce() {
  if (done_) return false;
  if (libxml_) return ProduceXml();
  const bool more = ReadChunk(scanner_.input());
  const XmlScanner::Status status = more ? scanner_.Feed() : scanner_.Finish();
  if (status == XmlScanner::Status::kForeign) {
    // A document in another encoding or with a DOCTYPE: libxml2 reads it,
    // and all that follows, from its first byte.
    libxml_ = true;
    const XmlScanner::Position at = scanner_.foreign_at();
    base_ = Where{at.offset, at.line - 1, at.column - 1};
    held_.assign(scanner_.ForeignDocument().data(), scanner_.ForeignDocument().size());
    return ProduceXml();
  }
  if (more) return true;
  CloseOpenRecord();
  done_ = true;
  return false;
}

bool MarcXmlReader::ProduceXml() {
  chunk_.swap(held_);
  held_.clear();
  const bool more = ReadChunk(chunk_);
  if (more && ctxt_ == nullptr && chunk_.size() < kXmlFirstPush) {
    chunk_.swap(held_);
    return true;
  }
  const std::size_t hold = more ? XmlHeldBytes(chunk_) : 0;
  held_.assign(chunk_, chunk_.size() - hold, hold);
  Push(std::string_view(chunk_).substr(0, chunk_.size() - hold));
  if (more && !halted_) return true;
  if (!halted_ && ctxt_ != nullptr) {  // nothing at all is no document, and no damage
    for (std::string rest;;) {
      xmlParseChunk(ctxt_, nullptr, 0, 1);
      ThrowFailure();
      if (!Restart(rest)) break;
      Push(rest);
      if (halted_) break;
    }
  }
  // The input ended, or libxml2 cannot read on (it said why).
  CloseOpenRecord();
  if (halted_) {
    Report(Problem::Kind::kMalformed, At(nullptr),
           "the XML cannot be read on from here; the rest of the input is not read");
  }
  done_ = true;
  return false;
}

namespace {

// The reader a callback is for: libxml2 hands the context (or, for the text
// of an entity, a context of its own that inherits the reader).
MarcXmlReader* XmlReaderOf(void* ctxt) {
  return ctxt == nullptr
             ? nullptr
             : static_cast<MarcXmlReader*>(static_cast<xmlParserCtxtPtr>(ctxt)->_private);
}

}  // namespace

// No exception may cross libxml2's C frames: a callback that throws
// (std::bad_alloc) stops the parser, and the exception is thrown again once
// libxml2 has returned.
void MarcXmlReader::Fail(void* ctxt) {
  failure_ = std::current_exception();
  xmlStopParser(static_cast<xmlParserCtxtPtr>(ctxt));
  if (ctxt_ != nullptr && ctxt != ctxt_) xmlStopParser(ctxt_);
}

void MarcXmlReader::ThrowFailure() {
  if (!failure_) return;
  halted_ = true;
  done_ = true;
  std::rethrow_exception(std::exchange(failure_, nullptr));
}

void MarcXmlReader::OnStart(void* self, const xmlChar* localname, const xmlChar*, const xmlChar*,
                            int, const xmlChar**, int nb_attributes, int,
                            const xmlChar** attributes) {
  MarcXmlReader* reader = XmlReaderOf(self);
  if (reader == nullptr || reader->failure_) return;
  try {
    reader->xml_count_ = nb_attributes;
    reader->xml_attributes_ = attributes;
    reader->Start(reinterpret_cast<const char*>(localname));
  } catch (...) {
    reader->Fail(self);
  }
}

void MarcXmlReader::OnEnd(void* self, const xmlChar*, const xmlChar*, const xmlChar*) {
  MarcXmlReader* reader = XmlReaderOf(self);
  if (reader == nullptr || reader->failure_) return;
  try {
    reader->End();
  } catch (...) {
    reader->Fail(self);
  }
}

void MarcXmlReader::OnText(void* self, const xmlChar* text, int size) {
  MarcXmlReader* reader = XmlReaderOf(self);
  if (reader == nullptr || reader->failure_) return;
  try {
    reader->Text(reinterpret_cast<const char*>(text), static_cast<std::size_t>(size));
  } catch (...) {
    reader->Fail(self);
  }
}

void MarcXmlReader::OnReference(void* self, const xmlChar* name) {
  // libxml2 has given the text of internal entities already; an external
  // one is never loaded, and says so here.
  const auto* ctxt = static_cast<xmlParserCtxtPtr>(self);
  const xmlEntityPtr entity = ctxt->myDoc == nullptr ? nullptr : xmlGetDocEntity(ctxt->myDoc, name);
  if (entity != nullptr && entity->etype == XML_INTERNAL_GENERAL_ENTITY) return;
  MarcXmlReader* reader = XmlReaderOf(self);
  if (reader == nullptr || reader->skip_depth_ > 0 || reader->failure_) return;
  try {
    reader->Report(Problem::Kind::kUnknownContent, reader->At(nullptr),
                   "entity " + XmlQuoted(reinterpret_cast<const char*>(name)) +
                       " is not in the document; not read");
  } catch (...) {
    reader->Fail(self);
  }
}

void MarcXmlReader::OnError(void* self, xmlError* error) {
  if (error == nullptr || error->level < XML_ERR_ERROR) return;  // warnings: nothing lost
  auto* reader = XmlReaderOf(self);
  if (reader == nullptr || reader->failure_) return;
  const xmlParserInputPtr in = reader->ctxt_->input;
  if (error->code == XML_ERR_DOCUMENT_END && self == reader->ctxt_ && reader->open_.empty() &&
      reader->skip_depth_ == 0 && in != nullptr && in->buf != nullptr &&
      in->buf->encoder == nullptr && in->cur != nullptr && in->end != nullptr &&
      in->cur < in->end) {
    // Another document follows (see Restart()): its bytes are libxml2's
    // until it stops, which it does next.
    reader->next_document_ = true;
    reader->next_base_ = reader->At(nullptr);
    if (reader->next_base_.line > 0) --reader->next_base_.line;
    if (reader->next_base_.column > 0) --reader->next_base_.column;
    try {
      reader->following_.assign(reinterpret_cast<const char*>(in->cur),
                                static_cast<std::size_t>(in->end - in->cur));
    } catch (...) {
      reader->Fail(self);
    }
    return;
  }
  Where at = reader->At(nullptr);
  // The position of an error in an entity's text is in that text: the
  // document's position (after the reference) says more.
  if (self == reader->ctxt_ && error->line > 0)
    at.line = reader->base_.line + static_cast<std::uint32_t>(error->line);
  if (self == reader->ctxt_ && error->int2 > 0) {
    at.column =
        static_cast<std::uint32_t>(error->int2) + (error->line == 1 ? reader->base_.column : 0);
  }
  try {
    reader->Report(Problem::Kind::kMalformed, at, XmlMessage(error->message));
  } catch (...) {
    reader->Fail(self);
  }
}

MarcXmlReader::Where MarcXmlReader::At(const xmlChar* at) const {
  Where where;
  const xmlParserInputPtr in = ctxt_ == nullptr ? nullptr : ctxt_->input;
  if (in == nullptr || in->base == nullptr || in->cur == nullptr) return where;
  where.offset = base_.offset + static_cast<std::uint64_t>(in->consumed) +
                 static_cast<std::uint64_t>(in->cur - in->base);
  where.line = base_.line + (in->line > 0 ? static_cast<std::uint32_t>(in->line) : 0);
  where.column =
      (in->col > 0 ? static_cast<std::uint32_t>(in->col) : 0) + (in->line == 1 ? base_.column : 0);
  if (at == nullptr || at < in->base || at > in->end) return where;
  // From libxml2's position to `at`: lines by their line feeds, the column
  // from the line's start when the buffer holds it.
  const xmlChar* const from = at < in->cur ? at : in->cur;
  const xmlChar* const to = at < in->cur ? in->cur : at;
  std::uint32_t lines = 0;
  for (const xmlChar* p = from; p < to; ++p) lines += *p == '\n';
  const auto distance = static_cast<std::uint32_t>(to - from);
  if (at >= in->cur && lines == 0) {  // on libxml2's line, after it: the usual case
    where.offset += distance;
    where.column += distance;
    return where;
  }
  const xmlChar* line_start = at;
  while (line_start > in->base && line_start[-1] != '\n') --line_start;
  if (at < in->cur) {
    if (line_start == in->base && lines != 0) return where;  // the line starts before the buffer
    where.offset -= distance;
    where.line -= lines;
  } else {
    where.offset += distance;
    where.line += lines;
  }
  if (line_start > in->base || lines != 0) {
    where.column = static_cast<std::uint32_t>(at - line_start) + 1;
  } else if (where.column > distance) {
    where.column -= distance;
  }
  return where;
}

MarcXmlReader::Where MarcXmlReader::TextAt(const char* text, std::size_t size,
                                           std::size_t i) const {
  if (!libxml_) {
    // From where the scanner says the text starts.
    Where where = text_at_;
    for (std::size_t k = 0; k < i; ++k) {
      if (text[k] == '\n') {
        ++where.line;
        where.column = 1;
      } else {
        ++where.column;
      }
    }
    where.offset += i;
    return where;
  }
  // libxml2's line and column stand at the end of the text it hands; its
  // position there too, or at the text's start when the text lies in its
  // buffer.
  Where where = At(nullptr);
  const auto* cur = ctxt_->input == nullptr ? nullptr : ctxt_->input->cur;
  if (reinterpret_cast<const xmlChar*>(text) == cur) where.offset += size;
  where.offset -= size - i;
  std::uint32_t lines = 0;
  for (std::size_t k = i; k < size; ++k) lines += text[k] == '\n';
  where.line -= lines;
  if (lines == 0) {
    if (where.column > size - i) where.column -= static_cast<std::uint32_t>(size - i);
    return where;
  }
  std::size_t line_start = i;
  while (line_start > 0 && text[line_start - 1] != '\n') --line_start;
  if (line_start > 0) where.column = static_cast<std::uint32_t>(i - line_start) + 1;
  return where;
}

MarcXmlReader::Where MarcXmlReader::StartTag() const {
  if (!libxml_) return tag_at_;
  // libxml2 stands at the tag's '>' (or "/>"); its '<' is the one before, as
  // attribute values hold none.
  const xmlParserInputPtr in = ctxt_->input;
  if (in == nullptr || in->base == nullptr || in->cur == nullptr) return At(nullptr);
  const xmlChar* p = in->cur;
  while (p > in->base && *p != '<') --p;
  return At(*p == '<' ? p : nullptr);
}

void MarcXmlReader::Report(Problem::Kind kind, const Where& at, std::string detail) {
  AddProblem(kind, at.offset, at.line, at.column, std::move(detail));
}

namespace {

// Whether `s` is `literal`: compared inline, with the literal's length known.
template <std::size_t N>
bool Is(std::string_view s, const char (&literal)[N]) {
  return s.size() == N - 1 && std::memcmp(s.data(), literal, N - 1) == 0;
}

}  // namespace

template <std::size_t N>
bool MarcXmlReader::Attribute(const char (&name)[N], std::string_view* value) {
  if (libxml_) return XmlAttribute(xml_count_, xml_attributes_, name, value, attribute_);
  for (std::size_t i = 0; i < fast_count_; ++i) {
    if (Is(fast_attributes_[i].name, name)) {
      *value = fast_attributes_[i].value;
      return true;
    }
  }
  return false;
}

MarcXmlReader::Where MarcXmlReader::Here() const {
  if (libxml_) return At(nullptr);
  const XmlScanner::Position at = scanner_.Here();
  return Where{at.offset, at.line, at.column};
}

void MarcXmlReader::XmlStart(std::string_view local_name, const XmlScanner::Attribute* attributes,
                             std::size_t count, const XmlScanner::Position& tag,
                             const XmlScanner::Position& content) {
  fast_attributes_ = attributes;
  fast_count_ = count;
  tag_at_ = Where{tag.offset, tag.line, tag.column};
  content_at_ = Where{content.offset, content.line, content.column};
  Start(local_name);
}

void MarcXmlReader::XmlEnd() { End(); }

void MarcXmlReader::XmlText(const char* text, std::size_t size, const XmlScanner::Position& at) {
  text_at_ = Where{at.offset, at.line, at.column};
  Text(text, size);
}

void MarcXmlReader::XmlDamage(const XmlScanner::Position& at, std::string detail) {
  Report(Problem::Kind::kMalformed, Where{at.offset, at.line, at.column}, std::move(detail));
}

void MarcXmlReader::XmlDrop(std::size_t depth, const XmlScanner::Position& at) {
  // The scanner's elements are the reader's open ones, then those skipped.
  if (depth >= open_.size()) {
    skip_depth_ = std::min(skip_depth_, depth - open_.size());
    return;
  }
  skip_depth_ = 0;
  while (open_.size() > depth) {
    if (open_.back() != Element::kRecord) {
      open_.pop_back();  // a leader or field not ended is not kept
      continue;
    }
    Report(Problem::Kind::kTruncated, Where{at.offset, at.line, at.column},
           "the record ends at the damage; its fields read so far kept");
    End();
  }
}

void MarcXmlReader::Start(std::string_view n) {
  text_reported_ = false;
  if (skip_depth_ > 0) {
    ++skip_depth_;
    return;
  }
  const Element* parent = open_.empty() ? nullptr : &open_.back();
  Element element;
  bool placed;
  if (Is(n, "subfield")) {
    element = Element::kSubfield;
    placed = parent != nullptr && *parent == Element::kDataField;
  } else if (Is(n, "datafield") || Is(n, "controlfield") || Is(n, "leader")) {
    element = n.size() == 9    ? Element::kDataField
              : n.size() == 12 ? Element::kControlField
                               : Element::kLeader;
    placed = parent != nullptr && *parent == Element::kRecord;
  } else if (Is(n, "record")) {
    element = Element::kRecord;
    placed = parent == nullptr || *parent == Element::kCollection;
  } else if (Is(n, "collection")) {
    element = Element::kCollection;
    placed = parent == nullptr;
  } else {
    skip_depth_ = 1;
    Report(Problem::Kind::kUnknownContent, StartTag(),
           "element " + XmlQuoted(n) + " is not MARCXML; skipped with its content");
    return;
  }
  if (!placed) {
    skip_depth_ = 1;
    Report(Problem::Kind::kUnknownContent, StartTag(),
           "element " + XmlQuoted(n) + (parent == nullptr ? " outside a record" : " out of place") +
               "; skipped with its content");
    return;
  }
  open_.push_back(element);
  switch (element) {
    case Element::kCollection: break;
    case Element::kRecord: StartRecord(StartTag()); break;
    case Element::kSubfield: {
      std::string_view code;
      const bool has = Attribute("code", &code);
      text_.clear();
      text_cut_ = false;
      prefix_ = false;
      code_ = '\0';
      if (code.size() == 1) {
        code_ = code[0];
      } else if (code.empty()) {
        prefix_ = subfields_ == 0;  // decided at its end, by its text
        if (!has) {
          Report(Problem::Kind::kBadField, StartTag(),
                 "subfield without a code attribute; read as code=\"\"");
        }
      } else {
        code_ = '?';
        Report(Problem::Kind::kBadField, StartTag(),
               "subfield code " + XmlQuoted(code) + " is not one byte; read as ?");
      }
      break;
    }
    default: {
      // Problems of its content are placed where it begins, after the '>'
      // libxml2 stands at (finding the start tag for every field would cost
      // a twentieth of the time).
      if (!libxml_) {
        StartField(element, content_at_);
        break;
      }
      const xmlChar* cur = ctxt_->input->cur;
      StartField(element, At(cur != nullptr && *cur == '>' ? cur + 1 : cur));
      break;
    }
  }
}

void MarcXmlReader::StartRecord(const Where& at) {
  BeginRecord(at.offset);
  record_at_ = at;
  leader_seen_ = false;
  indicators_ = 2;
  record_size_ = iso2709::kLeaderLength + 1 + 1;  // leader, directory and record terminators
  record_full_ = false;
}

void MarcXmlReader::StartField(Element element, const Where& at) {
  field_at_ = at;
  text_.clear();
  text_cut_ = false;
  if (element == Element::kLeader) return;
  // The tag: three bytes; blanks for what is missing, cut when longer.
  std::string_view tag;
  std::memcpy(tag_, "   ", 3);
  if (!Attribute("tag", &tag)) {
    Report(Problem::Kind::kBadField, StartTag(),
           "field without a tag attribute; tag read as three blanks");
  } else if (tag.size() != 3) {
    Report(Problem::Kind::kBadField, StartTag(),
           "tag " + XmlQuoted(tag) + " is not 3 bytes; " +
               (tag.size() < 3 ? "padded with blanks" : "cut to 3"));
  }
  if (!tag.empty()) std::memcpy(tag_, tag.data(), std::min<std::size_t>(tag.size(), 3));
  if (element == Element::kControlField) return;
  content_.clear();
  subfields_ = 0;
  for (unsigned i = 0; i < indicators_; ++i) {
    char byte = ' ';
    std::string_view value;
    if (i < 2 && (i == 0 ? Attribute("ind1", &value) : Attribute("ind2", &value)) &&
        !value.empty()) {
      if (value.size() == 1) {
        byte = value[0];
      } else {
        Report(Problem::Kind::kBadField, StartTag(),
               std::string(i == 0 ? "ind1 " : "ind2 ") + XmlQuoted(value) +
                   " is not one byte; read as a blank");
      }
    }
    content_ += byte;
  }
}

void MarcXmlReader::AppendText(std::string& to, const char* text, std::size_t size) {
  if (to.size() + size > kMaxXmlText) {
    if (!text_cut_) {
      text_cut_ = true;
      Report(
          Problem::Kind::kBadField, field_at_,
          "text longer than a record can hold; cut at " + std::to_string(kMaxXmlText) + " bytes");
    }
    size = to.size() < kMaxXmlText ? kMaxXmlText - to.size() : 0;
  }
  to.append(text, size);
}

void MarcXmlReader::Text(const char* text, std::size_t size) {
  if (skip_depth_ > 0 || open_.empty() || size == 0) return;  // outside the root libxml2 reports it
  switch (open_.back()) {
    case Element::kLeader:
    case Element::kControlField:
    case Element::kSubfield: AppendText(text_, text, size); return;
    default: break;
  }
  if (text_reported_) return;
  for (std::size_t i = 0; i < size; ++i) {
    if (XmlBlank(text[i])) continue;
    text_reported_ = true;
    static const char* const kWhere[] = {"a collection", "a record", "", "", "a datafield", ""};
    Report(Problem::Kind::kUnknownContent, TextAt(text, size, i),
           std::string("text in ") + kWhere[static_cast<int>(open_.back())] + "; skipped");
    return;
  }
}

void MarcXmlReader::End() {
  text_reported_ = false;
  if (skip_depth_ > 0) {
    --skip_depth_;
    return;
  }
  if (open_.empty()) return;
  const Element element = open_.back();
  open_.pop_back();
  switch (element) {
    case Element::kCollection: break;
    case Element::kRecord:
      if (!leader_seen_) {
        Report(Problem::Kind::kBadField, record_at_, "record without a leader; a default one used");
      }
      EndRecord();
      break;
    case Element::kLeader: EndLeader(); break;
    case Element::kControlField:
      content_.swap(text_);
      AddField();
      break;
    case Element::kDataField: AddField(); break;
    case Element::kSubfield:
      if (!(prefix_ && !text_.empty())) {
        content_ += iso2709::kSubfieldDelimiter;
        if (code_ != '\0') content_ += code_;
      }
      if (content_.size() + text_.size() <= kMaxXmlText) content_ += text_;
      ++subfields_;
      break;
  }
}

void MarcXmlReader::EndLeader() {
  if (leader_seen_) {
    Report(Problem::Kind::kBadField, field_at_, "a second leader; the first kept");
    return;
  }
  leader_seen_ = true;
  // One byte per character: a character of several bytes (U+FFFD for a
  // byte the writer could not write) is read as a blank.
  std::string leader;
  bool replaced = false;
  for (std::size_t i = 0; i < text_.size() && leader.size() <= iso2709::kLeaderLength;) {
    const std::size_t n = utf8SequenceLength(std::string_view(text_).substr(i));
    if (n > 1) {
      replaced = true;
      leader += ' ';
      i += n;
    } else {
      leader += text_[i++];
    }
  }
  if (replaced) {
    Report(Problem::Kind::kBadField, field_at_,
           "leader characters that are not one byte read as blanks");
  }
  if (leader.size() != iso2709::kLeaderLength) {
    Report(Problem::Kind::kBadField, field_at_,
           leader.size() < iso2709::kLeaderLength
               ? "leader of " + std::to_string(leader.size()) + " characters; padded with blanks"
               : std::string("leader of more than 24 characters; cut to 24"));
  }
  const char count =
      leader.size() > iso2709::kIndicatorCountOffset ? leader[iso2709::kIndicatorCountOffset] : '2';
  indicators_ = count >= '0' && count <= '9' ? static_cast<unsigned>(count - '0') : 2;
  writer().setLeader(leader);
}

void MarcXmlReader::AddField() {
  // A field's directory entry (12 bytes) and terminator come with it.
  record_size_ += content_.size() + 13;
  if (record_size_ > kMaxXmlRecord) {
    if (!record_full_) {
      record_full_ = true;
      Report(Problem::Kind::kBadField, field_at_,
             "the record grows past 99999 bytes, the most ISO 2709 states; this field and those "
             "after it dropped");
    }
    return;
  }
  writer().addField(std::string_view(tag_, 3), content_);
}

void MarcXmlReader::CloseOpenRecord() {
  const bool in = std::find(open_.begin(), open_.end(), Element::kRecord) != open_.end();
  if (in) {
    Report(Problem::Kind::kTruncated, Here(), "the record ends here; its fields read so far kept");
  }
  // Closes the open elements as their end tags would.
  skip_depth_ = 0;
  while (!open_.empty()) End();
}

}  // namespace quillet
