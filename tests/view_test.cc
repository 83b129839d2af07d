// Record views and the tolerant reader: file order and empty subfields,
// each repair with the problem it reports, and the same bytes through every
// kind of input.
#include <quillet/quillet.h>
#include <quillet/view.h>
#include <unistd.h>
#include <zlib.h>

#include <chrono>
#include <cstdio>
#include <fstream>
#include <iterator>
#include <sstream>
#include <streambuf>
#include <string>
#include <thread>
#include <type_traits>
#include <vector>

#include "support/expect_mrc.h"
#include "support/record_builder.h"
#include "support/view_summary.h"

namespace quillet {
namespace {

using quillet_test::BuildRecord;
using quillet_test::Bytes;
using quillet_test::DataContent;
using quillet_test::EntryPos;
using quillet_test::ExactBuffer;
using quillet_test::Patched;

using quillet_test::Summary;

std::string SummaryOf(const std::string& bytes, Reader::Options options = {}) {
  const ExactBuffer exact(bytes);
  Reader reader(exact.data(), exact.size(), options);
  return Summary(reader);
}

std::string Rec(const std::string& id, const std::string& title = "Title") {
  return BuildRecord({{"001", id}, {"245", DataContent("10", {{'a', title}})}});
}

// A record length as the leader writes it.
std::string Length(std::size_t n) {
  char digits[8];
  std::snprintf(digits, sizeof digits, "%05zu", n);
  return digits;
}

TEST(Views, KeepFileOrderAndEmptySubfields) {
  const std::string bytes = BuildRecord({{"001", "ocm12345678"},
                                         {"245", Bytes("10$aA title$b$cX")},
                                         {"650", Bytes(" 0$aMaps")},
                                         {"630", Bytes("00$aBible")},
                                         {"264", Bytes(" 1$a[Praha?]$b$c2012")},
                                         {"009", Bytes("ab$cd")}});
  const RecordView rec = RecordView::parse(bytes.data(), bytes.size());
  EXPECT_TRUE(rec.problems().empty());
  EXPECT_EQ("ocm12345678", rec.controlNumber());
  EXPECT_EQ(24u, rec.leader().size());
  std::string tags, codes;
  for (const FieldView& f : rec.fields()) tags += std::string(f.tag()) + ' ';
  EXPECT_EQ("001 245 650 630 264 009 ", tags);
  const FieldView* imprint = rec.field("264");
  ASSERT_NE(nullptr, imprint);
  EXPECT_EQ(' ', imprint->indicator1());
  EXPECT_EQ('1', imprint->indicator2());
  for (const SubfieldView& s : imprint->subfields())
    codes += std::string(1, s.code()) + "=" + std::string(s.value()) + ";";
  EXPECT_EQ("a=[Praha?];b=;c=2012;", codes);
  EXPECT_TRUE(imprint->hasSubfield('b'));
  EXPECT_EQ("2012", imprint->subfield('c'));
  EXPECT_EQ("", imprint->subfield('z'));
  std::string subjects;
  for (const FieldView& f : rec.fields("6XX")) subjects += std::string(f.tag());
  EXPECT_EQ("650630", subjects);
  EXPECT_EQ(nullptr, rec.field("1.."));
  // By tag, not by content: 009 holds a delimiter and is still a control field.
  EXPECT_TRUE(rec.field("009")->isControl());
  EXPECT_TRUE(rec.field("009")->subfields().empty());
  EXPECT_EQ(Bytes("ab$cd"), rec.field("009")->data());
}

TEST(Views, HonourTheLeadersIndicatorCountAndCodeLength) {
  quillet_test::LeaderSpec leader;
  leader.pos5to11 = "nam a13";  // one indicator, two-byte codes
  const std::string bytes = BuildRecord({{"245", Bytes("1$abTitle$xyZ")}}, leader);
  const RecordView rec = RecordView::parse(bytes.data(), bytes.size());
  const FieldView& f = rec.fields()[0];
  EXPECT_EQ("1", f.indicators());
  EXPECT_EQ(' ', f.indicator2());
  EXPECT_EQ("Title", f.subfield('a'));
  EXPECT_EQ("Z", f.subfield('x'));
}

// Damaged inputs and what the reader gives for each. Records of Rec() are
// 62 bytes long: leader 24, directory 25 (001 at entry 0, 245 at entry 1),
// data from 49: 001 at 49, 245 at 51.
// operator* refers into the iterator itself, which only an input iterator
// may do: a forward iterator's references must outlive its increments, and
// algorithms that keep them (std::max_element and the like) would read a
// later subfield.
static_assert(std::is_same<std::iterator_traits<SubfieldIterator>::iterator_category,
                           std::input_iterator_tag>::value,
              "SubfieldIterator must not claim to be a forward iterator");

TEST(Views, SubfieldIteratorCopiesWalkOnTheirOwn) {
  const std::string bytes = BuildRecord({{"245", Bytes("10$aOne$bTwo$cThree")}});
  const RecordView rec = RecordView::parse(bytes.data(), bytes.size());
  const SubfieldRange range = rec.field("245")->subfields();
  SubfieldIterator it = range.begin();
  const SubfieldIterator copy = it;
  const SubfieldIterator before = it++;
  EXPECT_EQ('a', before->code());
  EXPECT_EQ("One", before->value());
  EXPECT_TRUE(before == copy);
  EXPECT_EQ('b', it->code());
  EXPECT_EQ('a', copy->code());
  const SubfieldView kept = *it;  // a value copied out outlives the increment
  ++it;
  EXPECT_EQ("Two", kept.value());
  EXPECT_EQ("Three", it->value());
  EXPECT_TRUE(++it == range.end());
  const std::vector<SubfieldView> all(range.begin(), range.end());
  ASSERT_EQ(3u, all.size());
  EXPECT_EQ("One", all[0].value());
  EXPECT_EQ("Three", all[2].value());
}

TEST(Reader, RepairsAndReportsDamage) {
  const std::string a = Rec("1"), b = Rec("2");
  ASSERT_EQ(62u, a.size());
  std::string unterminated = a;
  unterminated.back() = ' ';
  const std::string long_by_one = Patched(a, 0, Length(63));
  const struct {
    const char* what;
    std::string bytes;
    std::string expected;
  } cases[] = {
      {"filler between records is skipped quietly", a + "\r\n\x1A" + std::string(1, '\0') + b,
       "@0+62 1 $a\n@66+62 2 $a\n"},
      {"junk between records", a + "garbage!" + b,
       "@0+62 1 $a\n@70+62 2 [junk skipped (8 bytes) @62] $a\n"},
      {"junk after the last record", a + "xyz",
       "@0+62 1 $a\nreader [junk skipped (3 bytes) @62]\n"},
      {"length one too long", long_by_one + b,
       "@0+62 1 [record length repaired (declared 63) @0] $a\n@62+62 2 $a\n"},
      {"length counted in characters", Patched(a, 0, Length(59)) + b,
       "@0+62 1 [record length repaired (declared 59) @0] $a\n@62+62 2 $a\n"},
      {"length not digits", Patched(a, 0, "00x62") + b,
       "@0+62 1 [record length repaired (declared length not a number) @0] $a\n@62+62 2 $a\n"},
      {"length 00000", Patched(a, 0, "00000") + b,
       "@0+62 1 [record length repaired (declared 0) @0] $a\n@62+62 2 $a\n"},
      {"terminator missing, length right", unterminated + b,
       "@0+62 1 [record terminator missing @61] $a\n@62+62 2 $a\n"},
      {"input ends inside a record", a + b.substr(0, 40),
       "@0+62 1 $a\n@62+40  [base address repaired @74] [input ends inside the record @102] $\n"},
      {"base address not digits", Patched(a, 12, "0x049") + b,
       "@0+62 1 [base address repaired @12] $a\n@62+62 2 $a\n"},
      {"directory entry not digits: the data is split at terminators",
       Patched(a, EntryPos(1) + 3, "00x7"),
       "@0+62 1 [bad directory entry (entry 1, tag 245) @36] [directory does not address the "
       "fields; split at field terminators @49] $a\n"},
      {"field reaching past the record", Patched(a, EntryPos(1) + 3, "0090"),
       "@0+62 1 [field reaches past the record (entry 1, tag 245) @36] [directory does not "
       "address the fields; split at field terminators @49] $a\n"},
      {"field terminator missing", Patched(a, 50, "x"),
       "@0+62 1x [field terminator missing (entry 0, tag 001) @49] $a\n"},
      {"data field shorter than its indicators", BuildRecord({{"001", "7"}, {"245", "1"}}),
       "@0+54 7 [data field shorter than its indicators (entry 1, tag 245) @51] $\n"},
      {"data field without delimiter", BuildRecord({{"517", "1 "}}),
       "@0+41  [data field without subfield delimiter (entry 0, tag 517) @37] $\n"},
      {"delimiter without a code", BuildRecord({{"245", Bytes("10$aT$")}}),
       "@0+45  [subfield delimiter without a code (entry 0, tag 245) @42] $a?\n"},
      // The words stay text on one line, whatever bytes the tag holds.
      {"a tag of bytes that are no text",
       Patched(BuildRecord({{"245", "1"}}), EntryPos(0), "\xFF\n\xFE"),
       "@0+40  [data field shorter than its indicators (entry 0, tag "
       "\xEF\xBF\xBD\xEF\xBF\xBD\xEF\xBF\xBD) @37] $\n"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    EXPECT_EQ(c.expected, SummaryOf(c.bytes));
  }
}

TEST(Reader, ListsAHundredProblemsARecordAndCountsTheRest) {
  std::vector<quillet_test::FieldSpec> fields;
  for (int i = 0; i < 150; ++i) fields.push_back({"500", "1 "});  // no subfield: a problem each
  const std::string bytes = BuildRecord(fields);
  const RecordView rec = RecordView::parse(bytes.data(), bytes.size());
  ASSERT_EQ(Problem::kMaxListed + 1, rec.problems().size());
  const Problem& more = rec.problems()[Problem::kMaxListed];
  EXPECT_EQ(Problem::Kind::kMoreProblems, more.kind);
  EXPECT_EQ(50u, more.value);
  EXPECT_EQ("more problems in the record, not listed (50)", more.describe());
  EXPECT_EQ(150u, rec.fields().size());  // the fields are all there
}

// A record of over 99,999 bytes, written as several systems write one: the
// length 99999 and each starting position modulo 100,000.
std::string LongRecord(std::size_t body) {
  const std::string big = Bytes("  $a") + std::string(body, 'x');
  const std::vector<std::pair<std::string, std::string>> fields = {
      {"001", "big"}, {"520", big}, {"500", Bytes("  $aafter")}};
  std::string directory, data;
  for (const auto& f : fields) {
    char entry[13];
    std::snprintf(entry, sizeof entry, "%s%04zu%05zu", f.first.c_str(),
                  (f.second.size() + 1) % 10000, data.size() % 100000);
    directory += entry;
    data += f.second + '\x1E';
  }
  directory += '\x1E';
  char leader[25];
  std::snprintf(leader, sizeof leader, "99999nam a22%05zu   4500", 24 + directory.size());
  return leader + directory + data + '\x1D';
}

TEST(Reader, RecoversRecordsOver99999Bytes) {
  const std::string big = LongRecord(100010);
  ASSERT_GT(big.size(), 100000u);
  const std::string bytes = big + Rec("2");
  const ExactBuffer exact(bytes);
  Reader reader(exact.data(), exact.size());
  RecordView rec;
  ASSERT_TRUE(reader.next(rec));
  EXPECT_EQ(big.size(), rec.bytes().size());
  ASSERT_EQ(3u, rec.fields().size());
  EXPECT_EQ("big", rec.controlNumber());
  EXPECT_EQ(100010u, rec.field("520")->subfield('a').size());
  EXPECT_EQ("after", rec.field("500")->subfield('a'));
  ASSERT_EQ(2u, rec.problems().size());
  EXPECT_EQ(Problem::Kind::kLongRecord, rec.problems()[0].kind);
  EXPECT_EQ(Problem::Kind::kDirectorySplit, rec.problems()[1].kind);
  ASSERT_TRUE(reader.next(rec));
  EXPECT_EQ("2", rec.controlNumber());
  EXPECT_TRUE(rec.problems().empty());
}

// Terminators one after another in a record split at them: empty pieces,
// counted, not fields, but where a directory entry stands for one; the
// fields around them keep what they hold and the tags of their entries.
TEST(Reader, SkipsTheEmptyPiecesOfASplitRecord) {
  const std::string big = LongRecord(100010);
  const std::size_t x = big.find('x');
  // 60,000 terminators inside the 520, twenty bytes into its value.
  const ExactBuffer exact(Patched(big, x + 20, std::string(60000, '\x1E')));
  Reader reader(exact.data(), exact.size());
  RecordView rec;
  ASSERT_TRUE(reader.next(rec));
  std::string tags;
  for (const FieldView& f : rec.fields()) tags += std::string(f.tag()) + ' ';
  EXPECT_EQ("001 520 500 ??? ??? ", tags);  // the 500's entry, the third, names an empty one
  EXPECT_EQ(std::string(20, 'x'), rec.field("520")->subfield('a'));
  EXPECT_EQ("", rec.fields()[2].data());
  EXPECT_EQ(100010u - 20 - 60000, rec.fields()[3].data().size());
  EXPECT_EQ(Bytes("  $aafter"), rec.fields()[4].data());
  bool counted = false;
  for (const Problem& p : rec.problems()) {
    if (p.kind != Problem::Kind::kEmptyFieldsSkipped) continue;
    counted = true;
    EXPECT_EQ(59998u, p.value);  // the first terminator ends the 520
    EXPECT_EQ(x + 22, p.offset);
    EXPECT_EQ("empty fields between field terminators skipped (59998)", p.describe());
  }
  EXPECT_TRUE(counted);

  // Nothing but terminators after the leader: no field at all, and the
  // problems of a sound-sized list.
  const std::string leader = "00000nam  2299999   4500";
  const ExactBuffer terminators(leader + std::string(std::size_t{1} << 20, '\x1E') + '\x1D');
  Reader only(terminators.data(), terminators.size());
  ASSERT_TRUE(only.next(rec));
  EXPECT_EQ(0u, rec.fields().size());
  const Span<Problem> problems = rec.problems();
  ASSERT_FALSE(problems.empty());
  EXPECT_LT(problems.size(), 10u);
  const Problem& last = problems[problems.size() - 1];
  EXPECT_EQ(Problem::Kind::kEmptyFieldsSkipped, last.kind);
  // Every terminator after the base address, which is past the directory's.
  EXPECT_EQ((std::size_t{1} << 20) - (99999 - 24), last.value);
}

TEST(Reader, StrictModeFramesByTheDeclaredLengthOnly) {
  Reader::Options strict;
  strict.strict = true;
  const std::string a = Rec("1"), b = Rec("2");
  EXPECT_EQ("@0+62 1 $a\n@62+62 2 $a\n", SummaryOf(a + b, strict));
  // Too long by one: the next record's first byte is taken in, and the
  // rest of the input no longer frames.
  EXPECT_EQ(
      "@0+63 1 [record terminator missing @62] $a\nreader [record length unusable "
      "(declared length not a number) @63]\n",
      SummaryOf(Patched(a, 0, Length(63)) + b, strict));
}

// Every damaged case above, in one input.
std::string DamagedInput() {
  const std::string a = Rec("1"), b = Rec("2", std::string(300, 't'));
  std::string unterminated = a;
  unterminated.back() = ' ';
  return a + "\r\n" + Patched(b, 0, Length(b.size() + 1)) + "junk" + Patched(a, 0, Length(59)) +
         unterminated + LongRecord(100010) + Patched(a, 12, "0x049") +
         Patched(a, EntryPos(1) + 3, "00x7") + b + "\n" + a.substr(0, 40);
}

TEST(Reader, GivesTheSameRecordsWhateverTheInput) {
  const std::string bytes = DamagedInput();
  const std::string expected = SummaryOf(bytes);
  EXPECT_EQ(9u, std::count(expected.begin(), expected.end(), '\n')) << expected;

  for (std::size_t chunk : {1, 2, 3, 5, 7, 12, 24, 100, 4096}) {
    SCOPED_TRACE(chunk);
    Reader::Options options;
    options.chunk_size = chunk;
    std::istringstream in(bytes);
    Reader stream(in, options);
    EXPECT_EQ(expected, Summary(stream));
  }

  const std::string path = ::testing::TempDir() + "quillet_view_test.mrc";
  std::ofstream(path, std::ios::binary) << bytes;
  Reader file(path);
  EXPECT_EQ(expected, Summary(file));
  std::remove(path.c_str());

  int fds[2];
  ASSERT_EQ(0, ::pipe(fds));
  std::thread writer([&] {
    for (std::size_t done = 0; done < bytes.size();) {  // in odd pieces
      const ssize_t n =
          ::write(fds[1], bytes.data() + done, std::min<std::size_t>(777, bytes.size() - done));
      if (n <= 0) break;
      done += static_cast<std::size_t>(n);
    }
    ::close(fds[1]);
  });
  Reader pipe("/dev/fd/" + std::to_string(fds[0]));
  EXPECT_EQ(expected, Summary(pipe));
  writer.join();
  ::close(fds[0]);
}

TEST(Reader, ReadsNothingOutsideTheInput) {
  // Every prefix of the damaged input, in a buffer of exactly its size, and
  // every record cut short parsed on its own: AddressSanitizer sees any
  // over-read.
  const std::string bytes = DamagedInput();
  for (std::size_t n = 0; n <= 700; ++n) {
    const ExactBuffer exact(bytes.substr(0, n));
    Reader reader(exact.data(), exact.size());
    Summary(reader);
    const RecordView rec = RecordView::parse(exact.data(), exact.size());
    for (const FieldView& f : rec.fields()) {
      for (const SubfieldView& s : f.subfields()) static_cast<void>(s.value());
    }
    static_cast<void>(rec.problems());
  }
}

// One gzip member holding `bytes`.
std::string Gzip(const std::string& bytes) {
  z_stream z{};
  EXPECT_EQ(Z_OK, deflateInit2(&z, 6, Z_DEFLATED, 15 + 16, 8, Z_DEFAULT_STRATEGY));
  std::string out(deflateBound(&z, bytes.size()) + 32, '\0');
  z.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(bytes.data()));
  z.avail_in = static_cast<uInt>(bytes.size());
  z.next_out = reinterpret_cast<Bytef*>(&out[0]);
  z.avail_out = static_cast<uInt>(out.size());
  EXPECT_EQ(Z_STREAM_END, deflate(&z, Z_FINISH));
  out.resize(z.total_out);
  deflateEnd(&z);
  return out;
}

TEST(Reader, ReadsGzipDataThroughWithOffsetsOfTheUncompressedBytes) {
  const std::string bytes = DamagedInput();
  const std::string expected = SummaryOf(bytes);
  const std::string half = bytes.substr(0, bytes.size() / 2), rest = bytes.substr(bytes.size() / 2);
  for (const std::string& gz : {Gzip(bytes), Gzip(half) + Gzip(rest)}) {  // one member, two
    EXPECT_EQ(expected, SummaryOf(gz));
    std::istringstream in(gz);
    Reader::Options options;
    options.chunk_size = 7;
    Reader stream(in, options);
    EXPECT_EQ(expected, Summary(stream));
  }
  // Cut short: what was read is kept, and the reader says why it stopped.
  const std::string whole = Gzip(bytes);
  const std::string cut = whole.substr(0, whole.size() - 20);
  const ExactBuffer exact(cut);
  Reader reader(exact.data(), exact.size());
  RecordView rec;
  ASSERT_TRUE(reader.next(rec));
  while (reader.next(rec)) {
  }
  ASSERT_FALSE(reader.problems().empty());
  EXPECT_EQ(Problem::Kind::kReadError, reader.problems()[reader.problems().size() - 1].kind);
  EXPECT_EQ("gzip data ends inside a member", reader.readError());
}

// A file of 40-byte records that each claim 99,999 bytes costs per byte
// what a file of well-formed ones costs, not 2,500 times as much: a wrong
// length never makes the reader look at the same bytes again and again. The
// bound is loose on purpose, so a loaded machine cannot fail it.
TEST(Reader, BadLengthsCostNoMoreThanGoodOnes) {
  const std::string small = BuildRecord({{"001", "x"}});
  ASSERT_EQ(40u, small.size());
  const std::string liar = Patched(small, 0, "99999");
  std::string good, bad;
  for (int i = 0; i < 50000; ++i) {
    good += small;
    bad += liar;
  }
  auto seconds = [](const std::string& bytes) {
    double best = 1e9;
    for (int run = 0; run < 3; ++run) {
      const auto start = std::chrono::steady_clock::now();
      Reader reader(bytes.data(), bytes.size());
      RecordView rec;
      std::size_t n = 0;
      while (reader.next(rec)) ++n;
      EXPECT_EQ(50000u, n);
      best = std::min(
          best, std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count());
    }
    return best;
  };
  const double good_s = seconds(good), bad_s = seconds(bad);
  EXPECT_LT(bad_s, 20 * good_s + 0.05)
      << "good " << good_s << " s, lying lengths " << bad_s << " s";
}

}  // namespace
}  // namespace quillet
