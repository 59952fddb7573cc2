#include "drvscan/signatures.h"

#include <algorithm>
#include <random>
#include <sstream>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "common/captured_run.h"

namespace {

using Bytes = std::vector<uint8_t>;

// The signatures as the detection rules list them, transcribed apart from
// the table in the code so that a wrong byte in either shows.
struct ListedRow {
  const char* name;
  const char* hex;
};
const ListedRow kListedRows[kSignatureCount] = {
    {"decrypt magic1", "b8 5c 17 e9 42"},
    {"decrypt magic2", "56 81 f1 3a 90 6e 2b"},
    {"unknown magic", "44 24 10 50 51 55 6a 02 53"},
    {"imul magic1", "69 c0 d5 0b 8e 61"},
    {"C6 2A xor", "57 b9 2a c6 2a c6 eb 0d"},
    {"30 76 60", "30 76 60 8d 49 00 8b 54 24 44 8d 1c 16 83 c6 0c"},
    {"89 74 24", "89 74 24 4c 8d 74 24 3c 8d 44 24 44 e8 75 fe ff"},
    {"FF 8D 74", "ff 8d 74 24 2c 8d 44 24 44 e8 68 fe ff ff 8b 74"},
    {"83 FE 07", "83 fe 07 7e d6 eb 03 83 c6 01 83 ee 02 78 13 8b"},
    {"1D C4 33", "1d c4 33 01 00 90 8b 54 b4 38 52 ff d3 83 ee 01"},
    {"79 F4 8B", "79 f4 8b c7 5f 5e 5d 5b 83 c4 4c c3 cc cc cc cc"},
};

Bytes ParseHex(const char* hex) {
  Bytes bytes;
  std::istringstream in(hex);
  unsigned int value;
  while (in >> std::hex >> value) bytes.push_back(static_cast<uint8_t>(value));
  return bytes;
}

// The pattern of listed row `number`, counted from 1.
Bytes Row(int number) { return ParseHex(kListedRows[number - 1].hex); }

// Bytes `first` up to `end` (exclusive) of listed row `number`.
Bytes RowPart(int number, size_t first, size_t end) {
  Bytes row = Row(number);
  return Bytes(row.begin() + first, row.begin() + end);
}

Bytes Zeros(size_t count) { return Bytes(count, 0); }

Bytes Join(std::initializer_list<Bytes> parts) {
  Bytes joined;
  for (const Bytes& part : parts)
    joined.insert(joined.end(), part.begin(), part.end());
  return joined;
}

TEST(SignatureTableTest, HoldsTheListedRows) {
  for (size_t i = 0; i < kSignatureCount; ++i) {
    SCOPED_TRACE(kListedRows[i].name);
    const SignatureRecord& record = SignatureTable()[i];
    EXPECT_EQ(std::u16string(record.name), WidenAscii(kListedRows[i].name));
    Bytes listed = ParseHex(kListedRows[i].hex);
    ASSERT_EQ(record.length, listed.size());
    EXPECT_EQ(Bytes(record.pattern, record.pattern + record.length), listed);
    // The unused rest of both fields is zero.
    EXPECT_EQ(Bytes(record.pattern + record.length, record.pattern + 128),
              Zeros(128 - record.length));
    size_t name_length = std::u16string(record.name).size();
    EXPECT_EQ(std::u16string(record.name + name_length, record.name + 128),
              std::u16string(128 - name_length, u'\0'));
  }
}

// The offset of the first occurrence of `pattern` in `data`, found by trying
// every offset in turn, or kNotFound.
size_t FirstByEveryOffset(const Bytes& data, const Bytes& pattern) {
  for (size_t offset = 0; offset + pattern.size() <= data.size(); ++offset) {
    if (std::equal(pattern.begin(), pattern.end(), data.begin() + offset))
      return offset;
  }
  return kNotFound;
}

TEST(FindSignaturesTest, FindsWhatASearchOfEveryOffsetFinds) {
  // Data of up to 300 bytes pieced together from random bytes, whole
  // signatures, signatures cut short and signatures with one byte changed,
  // so that matches, repeats and near misses fall on every offset and at the
  // very end.
  std::mt19937 random(6);
  auto below = [&random](size_t n) { return random() % n; };
  for (int round = 0; round < 2000; ++round) {
    Bytes data;
    size_t target = below(300);
    while (data.size() < target) {
      Bytes piece = Row(1 + below(kSignatureCount));
      switch (below(4)) {
        case 0:
          piece.assign(below(20), 0);
          for (uint8_t& byte : piece) byte = static_cast<uint8_t>(random());
          break;
        case 1:
          piece.resize(1 + below(piece.size()));
          break;
        case 2:
          piece[below(piece.size())] ^= static_cast<uint8_t>(1 + below(255));
          break;
      }
      data.insert(data.end(), piece.begin(), piece.end());
    }
    size_t first[kSignatureCount];
    FindSignatures(data.data(), data.size(), first);
    for (size_t i = 0; i < kSignatureCount; ++i) {
      ASSERT_EQ(first[i], FirstByEveryOffset(data, Row(i + 1)))
          << "row " << i + 1 << " in round " << round << ", " << data.size()
          << " bytes";
    }
  }
}

// Runs scans against a fresh log file and the captured console.
class ScanBufferTest : public testing::Test {
 protected:
  void Scan(const Bytes& data) {
    ScanBuffer(u"x.sys", data.data(), data.size());
  }

  std::string Console() { return run_.Console(); }
  std::string Log() { return run_.LogText(); }

  // The console's reports in order, as "skip NAME" and "hit NAME"; the hex
  // dumps are left out.
  std::vector<std::string> ConsoleEvents() {
    const std::string skip = "INFO: Skipping current pattern \"";
    const std::string skip_end = "\" [buffer length < pattern length]";
    const std::string hit = "SUSPICIOUS: Pattern ";
    const std::string hit_end = " is matching: ";
    std::vector<std::string> events;
    std::istringstream lines(Console());
    std::string line;
    while (std::getline(lines, line)) {
      if (line.rfind(skip, 0) == 0) {
        size_t end = line.find(skip_end);
        events.push_back("skip " + line.substr(skip.size(), end - skip.size()));
      } else if (line.rfind(hit, 0) == 0) {
        size_t end = line.find(hit_end);
        events.push_back("hit " + line.substr(hit.size(), end - hit.size()));
      }
    }
    return events;
  }

  CapturedRun run_;
};

TEST_F(ScanBufferTest, ReportsEachSignatureOnceInTableOrder) {
  struct Case {
    const char* what;
    Bytes data;
    std::vector<std::string> events;
  };
  const Case cases[] = {
      {"four bytes skip every row",
       {0xb8, 0x5c, 0x17, 0xe9},
       {"skip decrypt magic1", "skip decrypt magic2", "skip unknown magic",
        "skip imul magic1", "skip C6 2A xor", "skip 30 76 60", "skip 89 74 24",
        "skip FF 8D 74", "skip 83 FE 07", "skip 1D C4 33", "skip 79 F4 8B"}},
      // Rows as long as the data are searched, longer ones skipped.
      {"data that is exactly row 2",
       Row(2),
       {"hit decrypt magic2", "skip unknown magic", "skip C6 2A xor",
        "skip 30 76 60", "skip 89 74 24", "skip FF 8D 74", "skip 83 FE 07",
        "skip 1D C4 33", "skip 79 F4 8B"}},
      {"data that is exactly row 11", Row(11), {"hit 79 F4 8B"}},
      {"pattern in the last bytes",
       Join({Zeros(100), Row(10)}),
       {"hit 1D C4 33"}},
      {"three occurrences",
       Join({Row(4), Zeros(20), Row(4), Row(4)}),
       {"hit imul magic1"}},
      {"rows 9 then 2",
       Join({Row(9), Row(2)}),
       {"hit decrypt magic2", "hit 83 FE 07"}},
      // Row 7 ends with the byte row 8 begins with.
      {"rows 7 and 8 sharing a byte",
       Join({Row(7), RowPart(8, 1, 16)}),
       {"hit 89 74 24", "hit FF 8D 74"}},
      // Row 6 with its last byte changed, row 9 with its first byte changed,
      // a repeated first byte before row 1, and row 10 cut off by the end.
      {"near misses",
       Join({RowPart(6, 0, 15),
             {0x0d},
             {0x84},
             RowPart(9, 1, 16),
             {0xb8},
             Row(1),
             RowPart(10, 0, 15)}),
       {"hit decrypt magic1"}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    size_t log_before = Log().size();
    run_.ClearConsole();
    Scan(c.data);
    EXPECT_EQ(ConsoleEvents(), c.events);
    std::string expected_log;
    for (const std::string& event : c.events) {
      if (event.rfind("hit ", 0) == 0)
        expected_log += "SUSPICIOUS: File x.sys matches pattern called " +
                        event.substr(4) + "\r\n";
    }
    EXPECT_EQ(Log().substr(log_before), expected_log);
  }
}

TEST_F(ScanBufferTest, PrintsReportsAndHexDumpsExactly) {
  Scan(Join({Row(1), Row(6)}));
  EXPECT_EQ(Console(),
            "SUSPICIOUS: Pattern decrypt magic1 is matching: \n"
            "b8 5c 17 e9 42 \n"
            "SUSPICIOUS: Pattern 30 76 60 is matching: \n"
            "30 76 60 8d 49 00 8b 54 \n"
            "24 44 8d 1c 16 83 c6 0c \n");
  EXPECT_EQ(Log(),
            "SUSPICIOUS: File x.sys matches pattern called decrypt magic1\r\n"
            "SUSPICIOUS: File x.sys matches pattern called 30 76 60\r\n");

  // Fifteen bytes: the 16-byte rows are skipped, row 1 at the end is found.
  run_.ClearConsole();
  Scan(Join({Zeros(10), Row(1)}));
  EXPECT_EQ(Console(),
            "SUSPICIOUS: Pattern decrypt magic1 is matching: \n"
            "b8 5c 17 e9 42 \n"
            "\nINFO: Skipping current pattern \"30 76 60\" [buffer length < "
            "pattern length]\n"
            "\nINFO: Skipping current pattern \"89 74 24\" [buffer length < "
            "pattern length]\n"
            "\nINFO: Skipping current pattern \"FF 8D 74\" [buffer length < "
            "pattern length]\n"
            "\nINFO: Skipping current pattern \"83 FE 07\" [buffer length < "
            "pattern length]\n"
            "\nINFO: Skipping current pattern \"1D C4 33\" [buffer length < "
            "pattern length]\n"
            "\nINFO: Skipping current pattern \"79 F4 8B\" [buffer length < "
            "pattern length]\n");
}

}  // namespace
