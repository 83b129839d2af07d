#include "formats.h"

#include <algorithm>
#include <cstdint>
#include <cstring>

namespace quillet_dump {

namespace {

using quillet::ControlField;
using quillet::DataField;
using quillet::Field;
using quillet::FieldTag;
using quillet::MrcException;
using quillet::Record;

using SelectedFields = std::vector<std::pair<FieldTag, Field*>>;

void CollectFields(Record& rec, const std::vector<std::string>& tags, SelectedFields& out) {
  out.clear();
  if (tags.empty()) {
    for (auto it = rec.getFMapBegin(), end = rec.getFMapEnd(); it != end; ++it) {
      out.emplace_back(it->first, it->second);
    }
    return;
  }
  for (const std::string& tag : tags) {
    const auto range = rec.getFieldRange(tag.c_str());
    for (auto it = range.first; it != range.second; ++it) out.emplace_back(it->first, it->second);
  }
}

std::string TagText(const FieldTag& tag) {
  char text[4];
  return std::string(tag.ToAscii(text), 3);
}

// Blank written as a backslash, as the mnemonic format does.
void AppendMnemonicBlanks(const char* data, std::size_t size, std::string& out) {
  for (std::size_t i = 0; i < size; ++i) out += data[i] == ' ' ? '\\' : data[i];
}

void AppendMnemonicSubfieldData(const char* data, std::size_t size, std::string& out) {
  for (std::size_t i = 0; i < size; ++i) {
    if (data[i] == '$') {
      out += "{dollar}";
    } else {
      out += data[i];
    }
  }
}

void AppendMrk(const Record& rec, const SelectedFields& fields, std::string& out) {
  out += "=LDR  ";
  out.append(rec.getLeader(), rec.getLeaderLength());
  out += '\n';
  for (const auto& entry : fields) {
    out += '=';
    out += TagText(entry.first);
    out += "  ";
    if (entry.second->isControl()) {
      auto* cf = static_cast<const ControlField*>(entry.second);
      AppendMnemonicBlanks(cf->getData(), cf->getDatalen(), out);
    } else {
      auto* df = static_cast<DataField*>(entry.second);
      const char indicators[2] = {df->getInd1(), df->getInd2()};
      AppendMnemonicBlanks(indicators, 2, out);
      for (auto s = df->getSFListBegin(), end = df->getSFListEnd(); s != end; ++s) {
        out += '$';
        out += (*s)->getCode();
        AppendMnemonicSubfieldData((*s)->getData(), (*s)->getDatalen(), out);
      }
    }
    out += '\n';
  }
  out += '\n';
}

void AppendLine(const Record& rec, const SelectedFields& fields, std::string& out) {
  out.append(rec.getLeader(), rec.getLeaderLength());
  out += '\n';
  for (const auto& entry : fields) {
    out += TagText(entry.first);
    out += ' ';
    if (entry.second->isControl()) {
      auto* cf = static_cast<const ControlField*>(entry.second);
      out.append(cf->getData(), cf->getDatalen());
    } else {
      auto* df = static_cast<DataField*>(entry.second);
      out += df->getInd1();
      out += df->getInd2();
      for (auto s = df->getSFListBegin(), end = df->getSFListEnd(); s != end; ++s) {
        out += " $";
        out += (*s)->getCode();
        out += ' ';
        out.append((*s)->getData(), (*s)->getDatalen());
      }
    }
    out += '\n';
  }
  out += '\n';
}

void AppendJsonString(const char* data, std::size_t size, std::string& out) {
  out += '"';
  AppendJsonText(data, size, out);
  out += '"';
}

void AppendJson(const Record& rec, const SelectedFields& fields, std::string& out) {
  out += "{\"leader\":";
  AppendJsonString(rec.getLeader(), rec.getLeaderLength(), out);
  out += ",\"fields\":[";
  bool first = true;
  for (const auto& entry : fields) {
    if (!first) out += ',';
    first = false;
    out += '{';
    const std::string tag = TagText(entry.first);
    AppendJsonString(tag.data(), tag.size(), out);
    out += ':';
    if (entry.second->isControl()) {
      auto* cf = static_cast<const ControlField*>(entry.second);
      AppendJsonString(cf->getData(), cf->getDatalen(), out);
    } else {
      auto* df = static_cast<DataField*>(entry.second);
      const char ind1 = df->getInd1(), ind2 = df->getInd2();
      out += "{\"ind1\":";
      AppendJsonString(&ind1, 1, out);
      out += ",\"ind2\":";
      AppendJsonString(&ind2, 1, out);
      out += ",\"subfields\":[";
      for (auto s = df->getSFListBegin(), end = df->getSFListEnd(); s != end; ++s) {
        if (s != df->getSFListBegin()) out += ',';
        const char code = (*s)->getCode();
        out += '{';
        AppendJsonString(&code, 1, out);
        out += ':';
        AppendJsonString((*s)->getData(), (*s)->getDatalen(), out);
        out += '}';
      }
      out += "]}";
    }
    out += '}';
  }
  out += "]}\n";
}

// Length of the well-formed UTF-8 sequence at p (RFC 3629: no overlong
// forms, no surrogates, nothing above U+10FFFF), or 0 when there is none.
std::size_t Utf8SequenceLength(const unsigned char* p, std::size_t avail) {
  const unsigned char b = p[0];
  std::size_t len;
  unsigned char lo = 0x80, hi = 0xBF;  // allowed range of the second byte
  if (b >= 0xC2 && b <= 0xDF) {
    len = 2;
  } else if (b >= 0xE0 && b <= 0xEF) {
    len = 3;
    if (b == 0xE0) lo = 0xA0;
    if (b == 0xED) hi = 0x9F;
  } else if (b >= 0xF0 && b <= 0xF4) {
    len = 4;
    if (b == 0xF0) lo = 0x90;
    if (b == 0xF4) hi = 0x8F;
  } else {
    return 0;
  }
  if (avail < len) return 0;
  if (p[1] < lo || p[1] > hi) return 0;
  for (std::size_t i = 2; i < len; ++i) {
    if (p[i] < 0x80 || p[i] > 0xBF) return 0;
  }
  return len;
}

}  // namespace

FieldSelection SelectFields(Record& rec, const std::vector<std::string>& tags) {
  FieldSelection selection;
  try {
    CollectFields(rec, tags, selection.fields);
  } catch (const MrcException& e) {
    selection.error = e.what();
    // The parse runs only while the map is empty: fields made before the
    // damage are now returned without a new parse. With none, it throws
    // again and there is nothing to print.
    try {
      CollectFields(rec, tags, selection.fields);
    } catch (const MrcException&) {
      selection.fields.clear();
    }
  }
  return selection;
}

void AppendRecord(Format format, const Record& rec, const FieldSelection& selection,
                  std::string& out) {
  switch (format) {
    case Format::kMrk:
      AppendMrk(rec, selection.fields, out);
      break;
    case Format::kLine:
      AppendLine(rec, selection.fields, out);
      break;
    case Format::kJson:
      AppendJson(rec, selection.fields, out);
      break;
  }
}

void AppendJsonText(const char* data, std::size_t size, std::string& out) {
  static const char kHex[] = "0123456789abcdef";
  const unsigned char* p = reinterpret_cast<const unsigned char*>(data);
  std::size_t i = 0;
  while (i < size) {
    const unsigned char b = p[i];
    if (b < 0x80) {
      switch (b) {
        case '"':
          out += "\\\"";
          break;
        case '\\':
          out += "\\\\";
          break;
        case '\n':
          out += "\\n";
          break;
        case '\r':
          out += "\\r";
          break;
        case '\t':
          out += "\\t";
          break;
        case '\b':
          out += "\\b";
          break;
        case '\f':
          out += "\\f";
          break;
        default:
          if (b < 0x20) {
            out += "\\u00";
            out += kHex[b >> 4];
            out += kHex[b & 15];
          } else {
            out += static_cast<char>(b);
          }
      }
      ++i;
      continue;
    }
    const std::size_t len = Utf8SequenceLength(p + i, size - i);
    if (len == 0) {
      out += "\xEF\xBF\xBD";  // U+FFFD for each byte that starts no sequence
      ++i;
    } else {
      out.append(data + i, len);
      i += len;
    }
  }
}

}  // namespace quillet_dump
