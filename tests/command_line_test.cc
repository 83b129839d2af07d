// quillet-dump's arguments: every refusal with its message and exit code,
// the help and version as text to print, what accepted combinations set,
// and the --ids file's lines.
#include "command_line.h"

#include <gtest/gtest.h>

#include <fstream>
#include <set>
#include <string>
#include <vector>

namespace quillet_dump {
namespace {

ParsedCommandLine Parse(const std::vector<const char*>& args) {
  std::vector<const char*> argv{"quillet-dump"};
  argv.insert(argv.end(), args.begin(), args.end());
  return ParseCommandLine(static_cast<int>(argv.size()), argv.data());
}

std::string TempFile(const std::string& name, const std::string& content) {
  const std::string path = ::testing::TempDir() + name;
  std::ofstream(path, std::ios::binary) << content;
  return path;
}

TEST(DumpCommandLine, RefusesWithTheReason) {
  const std::string no_ids = ::testing::TempDir() + "no-such-dir/ids";
  const struct {
    std::vector<const char*> args;
    std::string message;
  } cases[] = {
      {{"--offset", "x"}, "--offset must be a whole number from 0"},
      {{"--offset", "-1"}, "--offset must be a whole number from 0"},
      {{"--limit", "3x"}, "--limit must be a whole number from 0"},
      {{"--limit", "18446744073709551616"}, "--limit must be a whole number from 0"},
      {{"--tag", "24"},
       "--tag 24 can match no tag: a pattern is three characters, such as 245, 6XX or 6.."},
      {{"--tag", "245", "--tag", "6XXX"},
       "--tag 6XXX can match no tag: a pattern is three characters, such as 245, 6XX or 6.."},
      {{"--split", "0", "-s", "p"}, "--split must be a whole number from 1"},
      {{"--split", "five", "-s", "p"}, "--split must be a whole number from 1"},
      {{"--split-size", "0", "-s", "p"},
       "--split-size must be a size such as 100M, 512K or 1000000"},
      {{"--split-size", "M", "-s", "p"},
       "--split-size must be a size such as 100M, 512K or 1000000"},
      {{"--split-size", "2T", "-s", "p"},
       "--split-size must be a size such as 100M, 512K or 1000000"},
      {{"--split-size", "17179869184G", "-s", "p"},  // 2^64 bytes
       "--split-size must be a size such as 100M, 512K or 1000000"},
      {{"--split", "5"}, "--split and --split-size go with -s PREFIX, and -s with them"},
      {{"-s", "p"}, "--split and --split-size go with -s PREFIX, and -s with them"},
      {{"--output", "p"}, "--split and --split-size go with -s PREFIX, and -s with them"},
      {{"--jobs", "0"}, "--jobs must be a whole number from 1 to 1024"},
      {{"-j", "1025"}, "--jobs must be a whole number from 1 to 1024"},
      {{"--where", "245x"}, "--where 245x: expected ?, = or ~ after 245"},
      {{"--where", "24"},
       "--where 24: a condition starts with a tag pattern of three characters and goes on with "
       "?, =, ~ or $"},
      {{"--ids", no_ids.c_str()}, "cannot open " + no_ids + ": No such file or directory"},
      {{"--split", "5", "-s", "p", "--check"},
       "--split writes records: it goes with no --count, --check, --index or --stats"},
      {{"--split-size", "1K", "-s", "p", "--stats"},
       "--split writes records: it goes with no --count, --check, --index or --stats"},
      {{"--max-problems", "many"}, "--max-problems must be a whole number from 0"},
      {{"--to-charset", "MARC-8"},
       "--to-charset marc8 goes with -f marc: the text formats are UTF-8"},
      {{"--to-charset", "marc8", "-f", "marc", "--charset", "raw"},
       "--to-charset marc8 needs the text decoded: not with --charset raw"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.message);
    const ParsedCommandLine parsed = Parse(c.args);
    EXPECT_FALSE(parsed.run);
    EXPECT_EQ(kExitFailure, parsed.exit_code);
    EXPECT_EQ("quillet-dump: " + c.message + "\n", parsed.err);
    EXPECT_EQ("", parsed.out);
  }
}

TEST(DumpCommandLine, ParserRefusalsExitWithFailure) {
  for (const auto& args :
       {std::vector<const char*>{"--count", "--check"},
        std::vector<const char*>{"--index", "--stats"}, std::vector<const char*>{"--format", "csv"},
        std::vector<const char*>{"-o", "turbomarc"},
        std::vector<const char*>{"--charset", "latin1"},
        std::vector<const char*>{"--input-format", "csv"},
        std::vector<const char*>{"--to-charset", "latin1"},
        std::vector<const char*>{"--no-such-option"}}) {
    SCOPED_TRACE(args[0]);
    const ParsedCommandLine parsed = Parse(args);
    EXPECT_FALSE(parsed.run);
    EXPECT_EQ(kExitFailure, parsed.exit_code);
    EXPECT_EQ(0u, parsed.err.rfind("quillet-dump: ", 0)) << parsed.err;
    EXPECT_EQ("", parsed.out);
  }
}

TEST(DumpCommandLine, HelpAndVersionAreTextForStandardOutput) {
  const ParsedCommandLine help = Parse({"--help"});
  EXPECT_FALSE(help.run);
  EXPECT_EQ(kExitClean, help.exit_code);
  EXPECT_NE(std::string::npos, help.out.find("--split-size"));
  EXPECT_EQ("", help.err);

  const ParsedCommandLine version = Parse({"--version", "--offset", "x"});
  EXPECT_FALSE(version.run);
  EXPECT_EQ(kExitClean, version.exit_code);
  EXPECT_EQ(0u, version.out.rfind("quillet-dump ", 0));
  EXPECT_EQ('\n', version.out.back());
  EXPECT_EQ("", version.err);
}

TEST(DumpCommandLine, NoArgumentsPrintStandardInputAsMnemonicText) {
  const ParsedCommandLine parsed = Parse({});
  ASSERT_TRUE(parsed.run);
  const CommandLine& c = parsed.command;
  EXPECT_EQ(std::vector<std::string>{"-"}, c.files);
  EXPECT_EQ(Mode::kPrint, c.options.mode);
  EXPECT_EQ(quillet::Format::kMnemonic, c.options.format);
  EXPECT_EQ(0u, c.options.offset);
  EXPECT_EQ(UINT64_MAX, c.options.limit);
  EXPECT_FALSE(c.options.file_column);
  EXPECT_FALSE(c.split());
  EXPECT_GE(c.jobs, 1u);
}

TEST(DumpCommandLine, AcceptedCombinations) {
  const ParsedCommandLine checking =
      Parse({"--check", "--strict", "-j", "3", "--limit", "18446744073709551615", "a", "b"});
  ASSERT_TRUE(checking.run) << checking.err;
  EXPECT_EQ(Mode::kCheck, checking.command.options.mode);
  EXPECT_TRUE(checking.command.options.strict);
  EXPECT_EQ(UINT64_MAX, checking.command.options.limit);
  EXPECT_TRUE(checking.command.options.file_column);  // several files: --index names them
  EXPECT_EQ(3u, checking.command.jobs);
  EXPECT_TRUE(checking.command.parallel());

  const ParsedCommandLine splitting =
      Parse({"--split-size", "2k", "-s", "out/piece", "--force", "-o", "MARCXML", "-j", "4", "f"});
  ASSERT_TRUE(splitting.run) << splitting.err;
  EXPECT_EQ(2048u, splitting.command.split_bytes);
  EXPECT_EQ(0u, splitting.command.split_records);
  EXPECT_EQ("out/piece", splitting.command.prefix);
  EXPECT_TRUE(splitting.command.force);
  EXPECT_EQ(quillet::Format::kMarcXml, splitting.command.options.format);
  EXPECT_FALSE(splitting.command.parallel());  // pieces are cut record by record

  const std::string ids = TempFile("one-id", "100000003\n");
  const ParsedCommandLine selecting = Parse({"--where", "6XX$x~History", "--ids", ids.c_str(), "-t",
                                             "245", "-t", "6..", "--offset", "1", "-j", "2"});
  ASSERT_TRUE(selecting.run) << selecting.err;
  const Options& o = selecting.command.options;
  ASSERT_EQ(1u, o.where.size());
  EXPECT_EQ('x', o.where[0].code);
  EXPECT_EQ("History", o.where[0].value);
  EXPECT_TRUE(o.by_ids);
  EXPECT_EQ(1u, o.ids.count("100000003"));
  EXPECT_EQ((std::vector<std::string>{"245", "6.."}), o.filter.patterns());
  EXPECT_EQ(1u, o.offset);
  EXPECT_FALSE(selecting.command.parallel());  // selection runs on one thread

  const ParsedCommandLine counting =
      Parse({"--count", "--charset", "MARC-8", "--nfc", "-q", "-i", "USMARC"});
  ASSERT_TRUE(counting.run) << counting.err;
  EXPECT_EQ(Mode::kCount, counting.command.options.mode);
  EXPECT_EQ(quillet::Charset::kMarc8, counting.command.options.charset);
  EXPECT_EQ(quillet::InputFormat::kIso2709, counting.command.options.input_format);
  EXPECT_EQ(20u, counting.command.options.max_problems);

  const ParsedCommandLine converting =
      Parse({"-f", "marc", "--to-charset", "MARC-8", "--max-problems", "0"});
  ASSERT_TRUE(converting.run) << converting.err;
  EXPECT_EQ(quillet::OutputCharset::kMarc8, converting.command.options.to_charset);
  EXPECT_EQ(0u, converting.command.options.max_problems);
  EXPECT_TRUE(counting.command.options.nfc && counting.command.options.quiet);
}

TEST(DumpIds, OneIdPerLineWhateverTheLineEnds) {
  const std::string path =
      TempFile("ids", "100000007\r\nnot-there\n\n\r\n  \nin\rside\n100000005");  // no last LF
  Options options;
  std::string error;
  ASSERT_TRUE(LoadIds(path, &options, &error)) << error;
  EXPECT_TRUE(options.by_ids);
  const std::set<std::string_view> ids(options.ids.begin(), options.ids.end());
  EXPECT_EQ((std::set<std::string_view>{"100000007", "not-there", "  ", "in\rside", "100000005"}),
            ids);
}

TEST(DumpIds, AnEmptyFileKeepsNoRecord) {
  Options options;
  std::string error;
  ASSERT_TRUE(LoadIds(TempFile("empty-ids", ""), &options, &error)) << error;
  EXPECT_TRUE(options.by_ids);
  EXPECT_TRUE(options.ids.empty());
}

}  // namespace
}  // namespace quillet_dump
