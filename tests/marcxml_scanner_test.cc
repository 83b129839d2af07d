// The MARCXML reader's own XML parser (UTF-8 documents without a DOCTYPE):
// XML it must take, XML it must refuse and where, chunk ends anywhere, and
// the same records as the libxml2 path on the writer's output.
#include <gtest/gtest.h>
#include <quillet/formats.h>
#include <quillet/view.h>

#include <algorithm>
#include <string>
#include <vector>

#include "support/corpus.h"
#include "support/record_builder.h"
#include "support/text_formats.h"

namespace quillet {
namespace {

using quillet_test::BuildRecord;
using quillet_test::DataContent;
using quillet_test::Read;
using quillet_test::ReadAll;
using quillet_test::WriteAll;

const char kLeader[] = "<leader>00000nam a2200000 a 4500</leader>";

std::string Wrap(const std::string& fields) {
  return std::string("<record>") + kLeader + fields + "</record>";
}

// `text` read in chunks of every size up to its own: the same as read whole.
Read ReadEverySplit(const std::string& text) {
  const Read whole = ReadAll(text, InputFormat::kMarcXml, text.size() + 1);
  for (std::size_t chunk = 1; chunk <= text.size(); ++chunk) {
    const Read read = ReadAll(text, InputFormat::kMarcXml, chunk);
    EXPECT_EQ(whole.records, read.records) << "chunk " << chunk;
    EXPECT_EQ(whole.problems, read.problems) << "chunk " << chunk;
    if (whole.records != read.records || whole.problems != read.problems) break;
  }
  return whole;
}

TEST(MarcXmlScanner, ReadsWhatXmlAllowsWhereverTheChunksEnd) {
  const std::string expected =
      BuildRecord({{"001", "a<b>&'\"\xC3\xA9\xF0\x9F\x93\x9A\n\n\nx"},
                   {"245", DataContent("1 ", {{'a', "x ]] y ]>"}, {'b', "cdata <&> ]] \n"}})},
                   {"500", DataContent("  ", {{'a', "t"}})}});
  const struct {
    const char* what;
    std::string text;
  } cases[] = {
      {"references, line ends and a CDATA section",
       "\xEF\xBB\xBF<?xml version='1.0' encoding='utf-8' standalone='yes'?>\r\n"
       "<!-- a - comment --><?pi data?>\n<m:record xmlns:m=\"x\">" +
           std::string(kLeader) +
           "<m:controlfield tag=\"001\">a&lt;b&gt;&amp;&apos;&quot;&#xE9;&#128218;\r\n\r\rx"
           "</m:controlfield>\n"
           "<m:datafield\n tag = '245'\tind1=\"1\" ind2=''><m:subfield code=\"a\">x ]] y "
           "]></m:subfield>"
           "<subfield code=\"b\"><![CDATA[cdata <&> ]] \r\n]]></subfield></m:datafield >"
           "<datafield tag=\"500\"><!-- c --><?p?><subfield code=\"a\">t</subfield></datafield>"
           "</m:record >\n<!-- after -->\n"},
      {"attribute values: references and white space undone",
       Wrap("<controlfield tag=\"&#48;0&#x31;\">a&lt;b&gt;&amp;&apos;&quot;&#233;&#x1F4DA;\n\n\nx"
            "</controlfield><datafield tag=\"2&#52;5\" ind1=\"&#x31;\" ind2=\"&#32;\">"
            "<subfield code=\"a\">x ]] y ]></subfield><subfield code=\"b\">cdata &lt;&amp;&gt; ]] "
            "&#10;</subfield></datafield><datafield tag=\"500\" ind1=\"\n\" ind2=\"\t\">"
            "<subfield code='a'>t</subfield></datafield>")},
  };
  for (const auto& c : cases) {
    const Read read = ReadEverySplit(c.text);
    ASSERT_EQ(1u, read.records.size()) << c.what;
    EXPECT_EQ(expected, read.records[0]) << c.what;
    EXPECT_TRUE(read.problems.empty()) << c.what << ": " << read.problems[0];
  }
}

TEST(MarcXmlScanner, RefusesWhatIsNotWellFormedAndSaysWhere) {
  // Each: damage in a record after its leader, at `column` of the damage's
  // text, in a collection that holds a good record after it.
  const struct {
    std::string damage;
    std::size_t column;
    std::string detail;
  } cases[] = {
      {"<controlfield tag=\"001\">x</controlfeld>", 26,
       "end tag \"controlfeld\" does not match start tag \"controlfield\""},
      {"</leader>", 1, "end tag \"leader\" does not match start tag \"record\""},
      {"<controlfield tag=\"001\">&#0;</controlfield>", 25,
       "character reference \"&#0;\" is to no XML character"},
      {"<controlfield tag=\"001\">&#xD800;</controlfield>", 25,
       "character reference \"&#xD800;\" is to no XML character"},
      {"<controlfield tag=\"001\">&#xFFFE;</controlfield>", 25,
       "character reference \"&#xFFFE;\" is to no XML character"},
      {"<controlfield tag=\"001\">&#x110000;</controlfield>", 25,
       "character reference \"&#x110000;\" is to no XML character"},
      {"<controlfield tag=\"001\">&#99999999999;</controlfield>", 25,
       "character reference \"&#99999999999;\" is to no XML character"},
      {"<controlfield tag=\"001\">&#x;</controlfield>", 25,
       "character reference \"&#x;\" is not a number"},
      {"<controlfield tag=\"001\">&nbsp;</controlfield>", 25,
       "entity \"nbsp\" is not declared (only lt, gt, amp, apos and quot are)"},
      {"<controlfield tag=\"001\">a & b</controlfield>", 27,
       "'&' that starts no reference (write \"&amp;\")"},
      {"<controlfield tag=\"001\">a]]>b</controlfield>", 26, "\"]]>\" in character data"},
      {"<controlfield tag=\"001\">\x01</controlfield>", 25,
       "character U+0001 is not allowed in XML"},
      {"<controlfield tag=\"001\">\xEF\xBF\xBF</controlfield>", 25,
       "character U+FFFE or U+FFFF is not allowed in XML"},
      {"<controlfield tag=\"001\">\xC3(</controlfield>", 25, "bytes that are not UTF-8"},
      {"<controlfield tag=\"001\" tag=\"002\">x</controlfield>", 25,
       "attribute \"tag\" given twice"},
      {"<controlfield tag=001>x</controlfield>", 19,
       "the value of attribute \"tag\" is not quoted"},
      {"<controlfield tag>x</controlfield>", 18, "attribute \"tag\" without '=' and a value"},
      {"<controlfield tag=\"0<1\">x</controlfield>", 21, "'<' in the value of attribute \"tag\""},
      {"<controlfield tag=\"001\"/ >", 25, "'/' not followed by '>' in a start tag"},
      {"<controlfield tag=\"001\"x=\"1\"/>", 24,
       "character \"x\" where an attribute or the tag's end belongs"},
      {"<a:b:c/>", 2, "element name \"a:b:c\" is not a name with one prefix at most"},
      {"< controlfield/>", 2, "'<' not followed by a name"},
      {"</ leader>", 3, "\"</\" not followed by a name"},
      {"<!-- a -- b -->", 8, "\"--\" inside a comment"},
      {"<!-- \x02 -->", 6, "character U+0002 is not allowed in XML (in a comment)"},
      {"<?xml version=\"1.0\"?>", 1, "an XML declaration not at the document's start"},
      {"<!DOCTYPE record>", 1, "a DOCTYPE after the document's start"},
      {"<!ELEMENT record>", 1, "\"<!\" that starts no comment or CDATA section"},
      {"<? x?>", 3, "\"<?\" not followed by a name"},
      {"<![CDATA[\x03]]>", 10, "character U+0003 is not allowed in XML (in a CDATA section)"},
  };
  const std::string good = Wrap("<controlfield tag=\"001\">2</controlfield>");
  const std::size_t before = std::string("<collection>").size() + Wrap("").find("</record>");
  for (const auto& c : cases) {
    const Read read = ReadEverySplit("<collection>" + Wrap(c.damage) + good + "</collection>");
    ASSERT_FALSE(read.problems.empty()) << c.damage;
    EXPECT_EQ("record 1: malformed input (line 1, column " + std::to_string(before + c.column) +
                  ": " + c.detail + ")",
              read.problems[0])
        << c.damage;
    // The damaged record ends there with its leader; the next is read whole.
    ASSERT_EQ(2u, read.records.size()) << c.damage;
    EXPECT_EQ(BuildRecord({}), read.records[0]) << c.damage;
    EXPECT_EQ(BuildRecord({{"001", "2"}}), read.records[1]) << c.damage;
  }
  // Damage in the document's head, before any record.
  const struct {
    std::string text;
    std::string problem;
  } heads[] = {
      {"<?xml version=\"2.0\"?><record/>",
       "record 1: malformed input (line 1, column 16: XML version \"2.0\" is not 1.x)"},
      {"<?xml encoding=\"UTF-8\"?><record/>",
       "record 1: malformed input (line 1, column 7: the XML declaration holds \"encoding\" where "
       "it does not belong)"},
      {" <?xml version=\"1.0\"?><record/>",
       "record 1: malformed input (line 1, column 2: an XML declaration not at the document's "
       "start)"},
      {"x<record/>",
       "record 1: malformed input (line 1, column 1: text before the document's root "
       "element)"},
      {"<record/>x<record/>",
       "record 2: malformed input (line 1, column 10: text after the document's root element)"},
  };
  for (const auto& h : heads) {
    const Read read = ReadEverySplit(h.text);
    EXPECT_NE(read.problems.end(), std::find(read.problems.begin(), read.problems.end(), h.problem))
        << h.text << ": " << ::testing::PrintToString(read.problems);
  }
}

TEST(MarcXmlScanner, ReportsInputCutShortInEveryConstruct) {
  const std::string full =
      "<?xml version=\"1.0\"?><collection><record>" + std::string(kLeader) +
      "<!-- c --><?pi x?><controlfield tag=\"001\">a&amp;b<![CDATA[c]]></controlfield>";
  // Cut at every byte: never more than the first record, always reported
  // once the root element has started.
  const std::size_t root = full.find("<collection>");
  for (std::size_t cut = 1; cut < full.size(); ++cut) {
    const Read read = ReadAll(full.substr(0, cut), InputFormat::kMarcXml, 3);
    EXPECT_LE(read.records.size(), 1u) << cut;
    if (cut > root) {
      bool malformed = false;
      for (const std::string& p : read.problems) malformed |= p.find("malformed input") != p.npos;
      EXPECT_TRUE(malformed) << cut << ": " << ::testing::PrintToString(read.problems);
    }
  }
  const Read read = ReadAll(full, InputFormat::kMarcXml);
  EXPECT_EQ((std::vector<std::string>{BuildRecord({{"001", "a&bc"}})}), read.records);
  EXPECT_EQ((std::vector<std::string>{
                "record 1: malformed input (line 1, column 160: the input ends inside element "
                "\"record\")",
                "record 1: input ends inside the record (line 1, column 160: the record ends "
                "here; its fields read so far kept)"}),
            read.problems);
}

TEST(MarcXmlScanner, RecoversAtTheNextRecordOnly) {
  const std::string one = Wrap("<controlfield tag=\"001\">1</controlfield>");
  const std::string three = Wrap("<controlfield tag=\"001\">3</controlfield>");
  // Damage between records: the next record is read; damage in a comment
  // hides nothing that follows it; prefixes count as record start tags.
  const std::string text =
      "<collection>\n" + one + "\n<bad attr>\n<!-- x -- y -->" + "<marc:record>" + kLeader +
      "<controlfield tag=\"001\">2</controlfield></marc:record>" + "\n<recordx/>" + three +
      "</collection>\n<collection>" + one + "</collection>";
  const Read read = ReadEverySplit(text);
  EXPECT_EQ((std::vector<std::string>{BuildRecord({{"001", "1"}}), BuildRecord({{"001", "2"}}),
                                      BuildRecord({{"001", "3"}}), BuildRecord({{"001", "1"}})}),
            read.records);
  EXPECT_EQ((std::vector<std::string>{
                "record 2: malformed input (line 3, column 10: attribute \"attr\" without '=' and "
                "a value)",
                "record 3: content the format does not define skipped (line 5, column 1: element "
                "\"recordx\" is not MARCXML; skipped with its content)"}),
            read.problems);
}

TEST(MarcXmlScanner, HandsDocumentsItDoesNotReadToLibxml2) {
  const std::string body =
      "<collection>" + Wrap("<controlfield tag=\"001\">\xE9</controlfield>") + "</collection>";
  const std::string latin = "<?xml version=\"1.0\" encoding=\"ISO-8859-1\"?>\n" + body;
  const std::string doctype = "<!DOCTYPE collection [<!ENTITY e \"\xC3\xA9\">]><collection>" +
                              Wrap("<controlfield tag=\"001\">&e;</controlfield>") +
                              "</collection>";
  const std::string utf8 = Wrap("<controlfield tag=\"001\">&#xE9;</controlfield>");
  const std::string want = BuildRecord({{"001", "\xC3\xA9"}});
  const Read latin_read = ReadEverySplit(utf8 + "\n" + latin);
  EXPECT_EQ((std::vector<std::string>{want, want}), latin_read.records);
  EXPECT_TRUE(latin_read.problems.empty()) << latin_read.problems[0];
  // A UTF-8 document first, then one libxml2 reads (its entities its own to
  // expand): offsets and lines go on.
  const std::string text = utf8 + "\n" + doctype + "\n<record><bad/></record>";
  const Read read = ReadEverySplit(text);
  EXPECT_EQ((std::vector<std::string>{want, want, BuildRecord({})}), read.records);
  EXPECT_EQ((std::vector<std::string>{
                "record 3: field repaired (line 3, column 1: record without a leader; a default "
                "one used)",
                "record 3: content the format does not define skipped (line 3, column 9: element "
                "\"bad\" is not MARCXML; skipped with its content)"}),
            read.problems);
  Reader::Options options;
  options.format = InputFormat::kMarcXml;
  options.chunk_size = 5;
  const quillet_test::ExactBuffer exact(text);
  Reader reader(exact.data(), exact.size(), options);
  RecordView rec;
  ASSERT_TRUE(reader.next(rec));
  EXPECT_EQ(0u, rec.offset());
  ASSERT_TRUE(reader.next(rec));
  EXPECT_EQ(text.find("<record", 1), rec.offset());
  ASSERT_TRUE(reader.next(rec));
  EXPECT_EQ(text.rfind("<record"), rec.offset());
}

TEST(MarcXmlScanner, BoundsWhatItHolds) {
  // Markup longer than the scanner holds is damage, read on after.
  const std::string text = "<collection><record " + std::string(150000, ' ') + "/>" +
                           Wrap("<controlfield tag=\"001\">1</controlfield>") + "</collection>";
  const Read read = ReadAll(text, InputFormat::kMarcXml, 4096);
  EXPECT_EQ((std::vector<std::string>{BuildRecord({{"001", "1"}})}), read.records);
  ASSERT_FALSE(read.problems.empty());
  EXPECT_NE(std::string::npos, read.problems[0].find("markup longer than 100016 bytes"))
      << read.problems[0];
}

TEST(MarcXmlScanner, ReadsTheWritersOutputOfRealFilesAsLibxml2Does) {
  std::size_t compared = 0;
  for (const auto& path : quillet_test::CorpusFiles(QUILLET_CORPUS_DIR)) {
    const std::string bytes = quillet_test::ReadFile(path);
    Reader reader(bytes.data(), bytes.size());
    std::vector<std::string> records;
    RecordView rec;
    while (reader.next(rec)) records.emplace_back(rec.bytes());
    if (records.empty()) continue;
    for (const Charset charset : {Charset::kRaw, Charset::kAuto}) {
      const std::string xml = WriteAll(records, Format::kMarcXml, charset);
      // A DOCTYPE after the XML declaration sends the document to libxml2.
      std::string doctype = xml;
      doctype.insert(doctype.find("?>") + 2, "<!DOCTYPE collection>");
      const Read ours = ReadAll(xml, InputFormat::kMarcXml);
      const Read theirs = ReadAll(doctype, InputFormat::kMarcXml);
      ASSERT_EQ(theirs.records.size(), ours.records.size()) << path;
      for (std::size_t i = 0; i < ours.records.size(); ++i) {
        ASSERT_EQ(theirs.records[i], ours.records[i]) << path << " record " << i + 1;
      }
      EXPECT_EQ(theirs.problems.size(), ours.problems.size()) << path;
      compared += ours.records.size();
    }
  }
  if (compared == 0) GTEST_SKIP() << "no record corpus at " << QUILLET_CORPUS_DIR;
  std::cout << compared << " records read alike by both parsers\n";
}

}  // namespace
}  // namespace quillet
