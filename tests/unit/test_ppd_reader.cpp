#include "scoped_temp_dir.h"
#include "zelcups_common.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

namespace {

using namespace std::string_literals;

constexpr int32_t kNoCount = -1;    // option_count NULL
constexpr int32_t kCountOnly = -2;  // options NULL, option_count given

const std::string kHeader =
    "*PPD-Adobe: \"4.3\"\n"
    "*% Arvex QRX5\n"
    "*PCFileName: \"XVTD0001.PPD\"\n"
    "*Manufacturer: \"Arvex\"\n"
    "*ModelName: \"Arvex Model 1\"\n"
    "*XVPDLType: \"ZELQRX5\"\n";
const std::string kHeaderPairs =
    "PPD-Adobe=4.3|PCFileName=XVTD0001.PPD|Manufacturer=Arvex|ModelName=Arvex Model 1|"
    "XVPDLType=ZELQRX5|";

class PpdReaderTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(temp_.valid());
    dir_ = temp_.path();
  }

  std::string write_ppd(const std::string &content) {
    const std::string path = (dir_ / ("f" + std::to_string(files_++) + ".ppd")).string();
    std::ofstream(path, std::ios::binary) << content;
    return path;
  }

  ScopedTempDir temp_;
  std::filesystem::path dir_;
  int files_ = 0;
};

struct Collected {
  bool result;
  int32_t count;
  std::string pairs;  // "key=value|" per stored pair
};

Collected collect(PpdOptionRequest request, int32_t capacity) {
  std::vector<PpdOption> options(capacity > 0 ? capacity : 1);
  int32_t count = capacity;
  if (capacity != kNoCount) {
    request.option_count = &count;
  }
  if (capacity >= 0) {
    request.options = options.data();
  }
  Collected out{zelcups_common_check_and_get_ppd_option_list(request), count, ""};
  for (PpdOption &option : options) {
    if (option.key != nullptr || option.value != nullptr) {
      out.pairs += std::string(option.key) + "=" + option.value + "|";
    }
    free(option.key);
    free(option.value);
  }
  return out;
}

TEST_F(PpdReaderTest, FamilyCheck) {
  struct Row {
    std::string content{};
    const char *pdl_type;
    bool expected;
  } rows[] = {
      {kHeader, "ZELQRX5", true},
      {kHeader, "ZELQRX6", false},
      {kHeader, "", true},  // an empty expectation matches any value
      // only the beginnings are compared
      {"*PCFileName: \"XVTD9\"\n*Manufacturer: Arvex Corp\n*XVPDLType: ZELQRX5X\n", "ZELQRX5",
       true},
      // a keyword that begins with the header keyword counts as that keyword
      {"*PCFileNameX: XVTD\n*Manufacturer: Arvex\n*XVPDLType: ZELQRX5\n", "ZELQRX5", true},
      // byte comparison: letter case matters
      {"*PCFileName: XVTD\n*Manufacturer: arvex\n*XVPDLType: ZELQRX5\n", "ZELQRX5", false},
      {"*PCFileName: XVTD\n*Manufacturer: Other\n*XVPDLType: ZELQRX5\n", "ZELQRX5", false},
      // only the first line of a header keyword counts
      {"*PCFileName: XVTD\n*Manufacturer: Arvex\n*Manufacturer: Other\n*XVPDLType: ZELQRX5\n",
       "ZELQRX5", true},
      {"*PCFileName: ABCD\n*PCFileName: XVTD\n*Manufacturer: Arvex\n*XVPDLType: ZELQRX5\n",
       "ZELQRX5", false},
      // a mismatch in the last check found, order of lines free
      {"*XVPDLType: ZELQRX5\n*Manufacturer: Arvex\n*PCFileName: XVTD\n", "ZELQRX5", true},
      {"*XVPDLType: OTHER\n*Manufacturer: Arvex\n*PCFileName: XVTD\n", "ZELQRX5", false},
      // the end of the file before every header keyword was seen
      {"*PCFileName: XVTD\n*Manufacturer: Arvex\n", "ZELQRX5", false},
      {"", "ZELQRX5", false},
      {"*% only a comment\n", "ZELQRX5", false},
      // the first byte of a line is never looked at
      {"#PCFileName: XVTD\n Manufacturer: Arvex\n*XVPDLType: ZELQRX5", "ZELQRX5", true},
      // a NUL ends the text of its line; the next line is read as usual
      {"*PCFileName: \"XVTD\0junk\"\n*Manufacturer: Arvex\n*XVPDLType: ZELQRX5\n"s, "ZELQRX5",
       true},
      {"*PCFileName: \"XV\0TD\"\n*Manufacturer: Arvex\n*XVPDLType: ZELQRX5\n"s, "ZELQRX5", false},
      // a binary file holds no header
      {"\x89PNG\r\n\x1a\n\0\0\0\rIHDR\xff\xfe*\x01\x80"s, "ZELQRX5", false},
  };
  for (size_t i = 0; i < std::size(rows); ++i) {
    const std::string path = write_ppd(rows[i].content);
    EXPECT_EQ(zelcups_common_check_pdl_type_by_ppd_file(path.c_str(), rows[i].pdl_type),
              rows[i].expected)
        << "row " << i;
  }
}

TEST_F(PpdReaderTest, CollectsPairs) {
  const std::string k300(300, 'K');
  const std::string v300(300, 'v');
  const std::string v256(256, 'v');
  const std::string x600(600, 'x');
  struct Row {
    std::string content{};
    bool check_header = false;
    const char *pc_file_name = nullptr;
    const char *manufacturer = nullptr;
    const char *pdl_type = nullptr;
    const char *key_prefix = nullptr;
    int32_t capacity = 16;
    bool expected = true;
    int32_t expected_count = 0;
    std::string expected_pairs{};
  } rows[] = {
      // the worked example; with check_header 0 the first line is read again
      {.content = kHeader, .capacity = 8, .expected_count = 5, .expected_pairs = kHeaderPairs},
      // a matched header rewinds: the header lines are collected too
      {.content = kHeader + "*Extra: 1\n",
       .check_header = true,
       .pc_file_name = "XVTD",
       .manufacturer = "Arvex",
       .pdl_type = "ZELQRX5",
       .expected_count = 6,
       .expected_pairs = kHeaderPairs + "Extra=1|"},
      // check_header 1 without expected values: the first line already starts collecting
      {.content = "*%c\n*A: 1\n*B: 2\n",
       .check_header = true,
       .expected_count = 2,
       .expected_pairs = "A=1|B=2|"},
      // a mismatch fails at once; nothing is collected and the count keeps the capacity
      {.content = kHeader,
       .check_header = true,
       .manufacturer = "Other",
       .expected = false,
       .expected_count = 16},
      // values longer than 255 bytes are cut before the comparison
      {.content = "*PCFileName: " + v300 + "\n",
       .check_header = true,
       .pc_file_name = "",
       .expected_count = 1,
       .expected_pairs = "PCFileName=" + v300.substr(0, 255) + "|"},
      {.content = "*PCFileName: " + v300 + "\n",
       .check_header = true,
       .pc_file_name = v256.c_str(),
       .expected = false,
       .expected_count = 16},
      // splits
      {.content = "*DefaultResolution: 600dpi\n*Resolution 600dpi/600 dpi: \"<</H 1>>\"\n"
                  "*End\n*K:::  \"\"\"v w:x\"\n*T: a b\tc\n*CR: v\r\n*Q\"q\"\n*Last",
       .expected_count = 8,
       .expected_pairs = "DefaultResolution=600dpi|Resolution=600dpi/600 dpi: |End=|K=v w:x|"
                         "T=a b|CR=v|Q=q|Last=|"},
      // skipped lines: comments, empty lines, a bare asterisk, a non-ASCII second byte
      {.content = "*% c\n\n*\n*\xC3\xA9: x\n*A: 1\n",
       .expected_count = 1,
       .expected_pairs = "A=1|"},
      {.content = "", .expected_count = 0},
      {.content = "*% c\n*%d\n", .expected_count = 0},
      // option groups are left out; JCL groups are not option groups
      {.content = "*OpenUI *PageSize: PickOne\n*PageSize A4: \"\"\n*CloseUI: *PageSize\n"
                  "*CloseUI: stray\n*OpenUIx\n*Inside: 1\n*CloseUIx\n"
                  "*JCLOpenUI *JCLX: PickOne\n*JCLCloseUI: *JCLX\n",
       .expected_count = 3,
       .expected_pairs = "CloseUI=stray|JCLOpenUI=*JCLX: PickOne|JCLCloseUI=*JCLX|"},
      {.content = "*OpenUI *PageSize: PickOne\n*PageSize A4: \"\"\n*CloseUI: *PageSize\n"
                  "*PageRegion: A4\n",
       .key_prefix = "Page",
       .expected_count = 1,
       .expected_pairs = "PageRegion=A4|"},
      // counting only, and collecting nothing at all
      {.content = "*A: 1\n*B: 2\n*C: 3\n",
       .key_prefix = "B",
       .capacity = kCountOnly,
       .expected_count = 1},
      {.content = "*A: 1\n*B: 2\n", .capacity = kNoCount, .expected_count = kNoCount},
      // over the capacity: the stored pairs stay with the caller, the count is not written
      {.content = "*A: 1\n*B: 2\n",
       .capacity = 1,
       .expected = false,
       .expected_count = 1,
       .expected_pairs = "A=1|"},
      {.content = "*A: 1\n", .capacity = 0, .expected = false, .expected_count = 0},
      // 255-byte cuts: the byte behind a cut key is passed over, the rest starts the value
      {.content = "*" + k300 + ": v\n*V: " + v300 + "\n",
       .expected_count = 2,
       .expected_pairs =
           k300.substr(0, 255) + "=" + k300.substr(0, 44) + ": v|V=" + v300.substr(0, 255) + "|"},
      // a line over 511 bytes arrives in pieces, each read as a line
      {.content = "*Long: " + x600 + "\n*N: 1\n",
       .expected_count = 3,
       .expected_pairs = "Long=" + x600.substr(0, 255) + "|" + x600.substr(0, 95) + "=|N=1|"},
      // NUL bytes: the rest of that piece is lost, a leading NUL is just a first byte
      {.content = "*A: 1\0*B: 2\n\0*C: 3\n"s, .expected_count = 2, .expected_pairs = "A=1|*C=3|"},
      {.content = "\x89PNG\r\n\x1a\n\0\0\0\rIHDR\xff\xfe"s,
       .expected_count = 1,
       .expected_pairs = "PNG=|"},
  };
  for (size_t i = 0; i < std::size(rows); ++i) {
    const Row &row = rows[i];
    PpdOptionRequest request{};
    const std::string path = write_ppd(row.content);
    request.ppd_path = path.c_str();
    request.check_header = row.check_header;
    request.pc_file_name = row.pc_file_name;
    request.manufacturer = row.manufacturer;
    request.pdl_type = row.pdl_type;
    request.key_prefix = row.key_prefix;
    const Collected got = collect(request, row.capacity);
    EXPECT_EQ(got.result, row.expected) << "row " << i;
    EXPECT_EQ(got.count, row.expected_count) << "row " << i;
    EXPECT_EQ(got.pairs, row.expected_pairs) << "row " << i;
  }
}

TEST_F(PpdReaderTest, UnreadablePaths) {
  // A directory opens on Linux but cannot be read; that is a failure, not an empty file.
  const char *paths[] = {nullptr, "/nonexistent/q.ppd", dir_.c_str()};
  for (size_t i = 0; i < std::size(paths); ++i) {
    for (bool check_header : {false, true}) {
      PpdOptionRequest request{};
      request.ppd_path = paths[i];
      request.check_header = check_header;
      const Collected got = collect(request, 4);
      EXPECT_FALSE(got.result) << "row " << i;
      EXPECT_EQ(got.count, 4) << "row " << i;
      EXPECT_EQ(got.pairs, "") << "row " << i;
    }
    EXPECT_FALSE(zelcups_common_check_pdl_type_by_ppd_file(paths[i], "ZELQRX5")) << "row " << i;
  }
}

}  // namespace
