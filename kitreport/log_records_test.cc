#include "kitreport/log_records.h"

#include <gtest/gtest.h>

namespace {

// The UTF-16LE bytes of `text`, as a log holds them.
std::string LogBytes(const WideString& text) {
  std::string bytes;
  for (char16_t unit : text) {
    bytes.push_back(static_cast<char>(unit & 0xff));
    bytes.push_back(static_cast<char>(unit >> 8));
  }
  return bytes;
}

struct LineCase {
  const char* what;
  WideString text;
  bool after_empty_line;
  bool complete;
  RecordKind kind;
  WideString file;
  WideString detail;
};

// Every line a tool logs, and the names that try to shift its fields.
TEST(LogRecordsTest, ReadsEachKindOfLine) {
  const LineCase kCases[] = {
      {"signature", u"SUSPICIOUS: File a.sys matches pattern called 30 76 60",
       false, true, RecordKind::kSignature, u"a.sys", u"30 76 60"},
      {"signature, a name holding the marker and a pattern name",
       u"SUSPICIOUS: File x matches pattern called imul magic1 matches "
       u"pattern called C6 2A xor",
       false, true, RecordKind::kSignature,
       u"x matches pattern called imul magic1", u"C6 2A xor"},
      {"signature of a pattern the kit does not know",
       u"SUSPICIOUS: File a.sys matches pattern called other", false, true,
       RecordKind::kSignature, u"", u""},
      {"entropy, a name holding the marker and a value",
       u"SUSPICIOUS: The entropy of a is above threshold: 0.9.pnf is above "
       u"threshold: 0.937500",
       false, true, RecordKind::kEntropy, u"a is above threshold: 0.9.pnf",
       u"0.937500"},
      {"orphan",
       u"SUSPICIOUS: There is no corresponding inf file for /w\\inf\\oem8",
       false, true, RecordKind::kOrphan, u"/w\\inf\\oem8", u""},
      {"error without a file",
       u"ERROR: Could not find the specified file. Error code: 0x2", false,
       true, RecordKind::kError, u"", u"0x2"},
      {"error naming a file",
       u"ERROR: oem1.pnf - Could not open PNF file for reading. Error code: "
       u"0x20",
       false, true, RecordKind::kError, u"oem1.pnf", u"0x20"},
      {"error, a name holding the whole ending",
       u"ERROR: a - Could not read the specified file. Error code: 0x5 - "
       u"Could not read the specified file. Error code: 0x1f",
       false, true, RecordKind::kError,
       u"a - Could not read the specified file. Error code: 0x5", u"0x1f"},
      {"warning",
       u"WARNING: 64-bit system is detected. Some drivers may remain "
       u"unchecked. Note that Vorl currently does not use 64-bit kernel "
       u"drivers!",
       false, true, RecordKind::kWarning, u"", u""},
      {"the Windows folder examined",
       u"INFO: Examining the Windows folder E:\\x (VORLKIT_WINDOWS) "
       u"(VORLKIT_WINDOWS)",
       false, true, RecordKind::kInfo, u"E:\\x (VORLKIT_WINDOWS)", u""},
      {"the volume of an image examined, a folder holding the marker",
       u"INFO: Examining the Windows folder \\W volume at byte 1 of x of the "
       u"NTFS volume at byte 1048576 of /cases/h17.E01 (VORLKIT_IMAGE)",
       false, true, RecordKind::kInfo, u"/cases/h17.E01", u""},
      {"an image that cannot be examined",
       u"ERROR: Could not examine the image /c/a: b.E01: it is a folder. "
       u"Error code: 0x5",
       false, true, RecordKind::kError, u"/c/a: b.E01", u"0x5"},
      {"a QCOW image whose backing file is missing",
       u"ERROR: Could not examine the image /vm/top.qcow2: its backing file "
       u"cannot be opened. Error code: 0x2",
       false, true, RecordKind::kError, u"/vm/top.qcow2", u"0x2"},
      {"hidden from the folder listing",
       u"SUSPICIOUS: The folder listing hides vorl.sys", false, true,
       RecordKind::kHidden, u"vorl.sys", u""},
      {"read otherwise than on disk",
       u"SUSPICIOUS: The system reads a otherwise than on disk.sys otherwise "
       u"than on disk",
       false, true, RecordKind::kMasked, u"a otherwise than on disk.sys", u""},
      {"another notice", u"INFO: something", false, true, RecordKind::kInfo,
       u"", u""},
      {"cut short: only the kind",
       u"SUSPICIOUS: File a matches pattern called decrypt magic1", false,
       false, RecordKind::kSignature, u"", u""},
      {"cut short: the value could go on",
       u"SUSPICIOUS: The entropy of a is above threshold: 0.93", false, false,
       RecordKind::kEntropy, u"", u""},
      {"cut short before the kind shows", u"SUSPIC", false, false,
       RecordKind::kUnknown, u"", u""},
      {"a start line's text, not after an empty line",
       u"C:\\drvscan.exe is started at 03/04/2026 09:05", false, true,
       RecordKind::kUnknown, u"", u""},
      {"no month 13", u"C:\\drvscan.exe is started at 13/04/2026 09:05", true,
       true, RecordKind::kUnknown, u"", u""},
      {"foreign text", u"hello", true, true, RecordKind::kUnknown, u"", u""},
  };
  for (const LineCase& c : kCases) {
    LineFields fields = ReadLogLine(c.text, c.after_empty_line, c.complete);
    EXPECT_EQ(fields.kind, c.kind) << c.what;
    EXPECT_EQ(fields.file, c.file) << c.what;
    EXPECT_EQ(fields.detail, c.detail) << c.what;
  }
}

// The lines that begin or refuse a shadow copy's walk, with images whose
// paths hold the lines' own words.
TEST(LogRecordsTest, ReadsTheLinesOfShadowCopies) {
  struct Case {
    const char* what;
    WideString text;
    bool complete;
    RecordKind kind;
    WideString file;
    WideString detail;
    std::string shadow_copy;
    bool shadow_copy_line;
  } cases[] = {
      {"a copy's walk begins",
       u"INFO: Examining shadow copy 2 of 6, made 2019-06-04 23:43:32 UTC, of "
       u"the NTFS volume at byte 32256 of /cases/host17.E01",
       true, RecordKind::kInfo, u"/cases/host17.E01", u"2 of 6",
       "2019-06-04T23:43:32Z", true},
      {"an image holding the line's words",
       u"INFO: Examining shadow copy 10 of 12, made 30828-09-14 02:48:05 "
       u"UTC, of the FAT32 volume at byte 7 of /c/x, made 2019-06-04 "
       u"23:43:32 UTC, of the NTFS volume at byte 1 of y.E01",
       true, RecordKind::kInfo,
       u"/c/x, made 2019-06-04 23:43:32 UTC, of the NTFS volume at byte 1 of "
       u"y.E01",
       u"10 of 12", "30828-09-14T02:48:05Z", true},
      {"a copy that cannot be examined",
       u"ERROR: Could not examine shadow copy 3 of 6 of the NTFS volume at "
       u"byte 32256 of /c/a volume at byte 9 of b.E01. Error code: 0x570. "
       u"Error code: 0x570",
       true, RecordKind::kError,
       u"/c/a volume at byte 9 of b.E01. Error code: 0x570", u"0x570", "",
       true},
      {"a damaged catalog",
       u"ERROR: Could not examine shadow copy 0 of the NTFS volume at byte "
       u"32256 of /cases/host17.E01. Error code: 0x570",
       true, RecordKind::kError, u"/cases/host17.E01", u"0x570", "", true},
      {"cut short: a walk begins, its copy unknown",
       u"INFO: Examining shadow copy 2 of 6, made 2019-06-04 23:43:32 UTC, of "
       u"the NTFS volume at byte 32256 of /cases/h",
       false, RecordKind::kInfo, u"", u"", "", true},
      {"no time",
       u"INFO: Examining shadow copy 2 of 6 of the NTFS volume at "
       u"byte 32256 of /cases/host17.E01",
       true, RecordKind::kInfo, u"", u"", "", true},
      {"a time to the minute",
       u"INFO: Examining shadow copy 2 of 6, made 2019-06-04 23:43 UTC, of "
       u"the NTFS volume at byte 32256 of /cases/host17.E01",
       true, RecordKind::kInfo, u"", u"", "", true},
      {"no second 60",
       u"INFO: Examining shadow copy 2 of 6, made 2019-06-04 23:43:60 UTC, of "
       u"the NTFS volume at byte 32256 of /cases/host17.E01",
       true, RecordKind::kInfo, u"", u"", "", true},
      {"no volume's place",
       u"INFO: Examining shadow copy 2 of 6, made 2019-06-04 23:43:32 UTC, of "
       u"the NTFS volume /cases/host17.E01",
       true, RecordKind::kInfo, u"", u"", "", true},
      {"no copy's number",
       u"ERROR: Could not examine shadow copy of the NTFS "
       u"volume at byte 32256 of /c.E01. Error code: 0x570",
       true, RecordKind::kError, u"", u"0x570", "", true},
      {"another notice on shadow copies",
       u"INFO: Examining shadow copies of the NTFS volume at byte 32256 of "
       u"/cases/host17.E01",
       true, RecordKind::kInfo, u"", u"", "", false},
  };
  for (const Case& c : cases) {
    LineFields fields = ReadLogLine(c.text, false, c.complete);
    EXPECT_EQ(fields.kind, c.kind) << c.what;
    EXPECT_EQ(fields.file, c.file) << c.what;
    EXPECT_EQ(fields.detail, c.detail) << c.what;
    EXPECT_EQ(fields.shadow_copy, c.shadow_copy) << c.what;
    EXPECT_EQ(fields.shadow_copy_line, c.shadow_copy_line) << c.what;
  }
}

TEST(LogRecordsTest, ReadsTheStartLine) {
  struct Case {
    WideString text;
    WideString program;
    std::string started;
  } cases[] = {
      {u"C:\\tools\\drvscan.exe is started at 03/04/2026 09:05",
       u"C:\\tools\\drvscan.exe", "2026-03-04T09:05Z"},
      {u"/x is started at 01/01/2026 00:00 is started at 12/10/2026 02:46",
       u"/x is started at 01/01/2026 00:00", "2026-12-10T02:46Z"},
      {u"ERROR: p is started at 12/31/999 23:59", u"ERROR: p",
       "0999-12-31T23:59Z"},
  };
  for (const Case& c : cases) {
    LineFields fields = ReadLogLine(c.text, true, true);
    EXPECT_EQ(fields.kind, RecordKind::kStart);
    EXPECT_EQ(fields.program, c.program);
    EXPECT_EQ(fields.started, c.started);
  }
}

TEST(LogRecordsTest, CountsRunsFromTheStartLines) {
  std::vector<LogRecord> records;
  ASSERT_TRUE(ReadLogRecords(
      LogBytes(u"ERROR: before. Error code: 0x3\r\n"
               u"\r\nA is started at 01/02/2026 03:04\r\n"
               u"SUSPICIOUS: There is no corresponding inf file for s\r\n"
               u"\r\nB is started at 05/06/2026 07:08\r\n"
               u"\r\nC is started at 09/10/2026 11:12\r\n"
               u"INFO: x\r\n"),
      &records));
  struct Expected {
    int run;
    WideString program;
    std::string started;
    RecordKind kind;
  } expected[] = {
      {0, u"", "", RecordKind::kError},
      {1, u"A", "2026-01-02T03:04Z", RecordKind::kStart},
      {1, u"A", "2026-01-02T03:04Z", RecordKind::kOrphan},
      {2, u"B", "2026-05-06T07:08Z", RecordKind::kStart},
      {3, u"C", "2026-09-10T11:12Z", RecordKind::kStart},
      {3, u"C", "2026-09-10T11:12Z", RecordKind::kInfo},
  };
  ASSERT_EQ(records.size(), std::size(expected));
  for (size_t i = 0; i < records.size(); ++i) {
    EXPECT_EQ(records[i].run, expected[i].run) << i;
    EXPECT_EQ(records[i].program, expected[i].program) << i;
    EXPECT_EQ(records[i].started, expected[i].started) << i;
    EXPECT_EQ(records[i].kind, expected[i].kind) << i;
  }
  EXPECT_EQ(records[2].text,
            u"SUSPICIOUS: There is no corresponding inf file for s");
  EXPECT_TRUE(IsFinding(records[2]));
  EXPECT_FALSE(IsFinding(records[1]));
}

// Each line belongs to the shadow copy whose walk it is in, from the line
// that begins the walk to the next that begins or refuses a copy, or to the
// next start line; the volume's own walk belongs to none.
TEST(LogRecordsTest, GivesEachLineItsShadowCopy) {
  const WideString volume = u" of the NTFS volume at byte 32256 of /c/h.E01";
  std::vector<LogRecord> records;
  ASSERT_TRUE(ReadLogRecords(
      LogBytes(u"\r\nA is started at 01/02/2026 03:04\r\n"
               u"INFO: Examining the Windows folder \\Windows" +
               volume +
               u" (VORLKIT_IMAGE)\r\n"
               u"SUSPICIOUS: There is no corresponding inf file for a\r\n"
               u"INFO: Examining shadow copy 3 of 3, made 2019-06-04 23:43:32 "
               u"UTC," +
               volume +
               u"\r\n"
               u"SUSPICIOUS: There is no corresponding inf file for b\r\n"
               u"ERROR: c - Could not open PNF file for reading. Error code: "
               u"0x5\r\n"
               u"ERROR: Could not examine shadow copy 2 of 3" +
               volume +
               u". Error code: 0x570\r\n"
               u"SUSPICIOUS: There is no corresponding inf file for d\r\n"
               u"INFO: Examining shadow copy 1 of 3, made 2018-01-02 03:04:05 "
               u"UTC," +
               volume +
               u"\r\n"
               u"SUSPICIOUS: There is no corresponding inf file for e\r\n"
               u"\r\nB is started at 01/02/2026 03:05\r\n"
               u"SUSPICIOUS: There is no corresponding inf file for f\r\n"
               u"INFO: Examining shadow copy 1 of 1, made 2017-01-02 03:04:05 "
               u"UTC," +
               volume +
               u"\r\n"
               u"ERROR: Could not examine shadow copy 0" +
               volume +
               u". Error code: 0x570\r\n"
               u"INFO: Examining shadow copy 1 of 1, made 2017-01-02 03:04:05 "
               u"UTC," +
               volume +
               u"\r\n"
               u"INFO: Examining shadow copy 1 of 1, made 2017-0"),
      &records));
  const char* kNone = "";
  const std::string expected[] = {
      kNone,
      kNone,
      kNone,
      "2019-06-04T23:43:32Z",
      "2019-06-04T23:43:32Z",
      "2019-06-04T23:43:32Z",
      kNone,
      kNone,
      "2018-01-02T03:04:05Z",
      "2018-01-02T03:04:05Z",
      kNone,
      kNone,
      "2017-01-02T03:04:05Z",
      kNone,
      "2017-01-02T03:04:05Z",
      kNone,
  };
  ASSERT_EQ(records.size(), std::size(expected));
  for (size_t i = 0; i < records.size(); ++i)
    EXPECT_EQ(records[i].shadow_copy, expected[i]) << i;
}

// How a log may end, and what its last record then holds.
TEST(LogRecordsTest, ReportsALastLineAsFarAsItGoes) {
  const WideString start = u"\r\nA is started at 01/02/2026 03:04\r\n";
  struct Case {
    const char* what;
    std::string tail;
    RecordKind kind;
    WideString file;
    WideString text;
  } cases[] = {
      {"no line end",
       LogBytes(u"SUSPICIOUS: There is no corresponding inf file for s"),
       RecordKind::kOrphan, u"",
       u"SUSPICIOUS: There is no corresponding inf file for s"},
      {"a stray odd byte", LogBytes(u"INFO: x") + "I", RecordKind::kInfo, u"",
       u"INFO: x"},
      {"only the line feed missing",
       LogBytes(u"SUSPICIOUS: There is no corresponding inf file for s\r"),
       RecordKind::kOrphan, u"s",
       u"SUSPICIOUS: There is no corresponding inf file for s"},
      {"undecodable bytes of a name",
       LogBytes(u"SUSPICIOUS: There is no corresponding inf file for "
                u"\xDC80\xDCFF\xD800\r\n"),
       RecordKind::kOrphan, u"\xDC80\xDCFF\xD800",
       u"SUSPICIOUS: There is no corresponding inf file for "
       u"\xDC80\xDCFF\xD800"},
  };
  for (const Case& c : cases) {
    std::vector<LogRecord> records;
    ASSERT_TRUE(ReadLogRecords(LogBytes(start) + c.tail, &records)) << c.what;
    ASSERT_EQ(records.size(), 2u) << c.what;
    EXPECT_EQ(records[1].kind, c.kind) << c.what;
    EXPECT_EQ(records[1].file, c.file) << c.what;
    EXPECT_EQ(records[1].text, c.text) << c.what;
  }
}

TEST(LogRecordsTest, TellsWhatIsNoKitLog) {
  const std::string kNotLogs[] = {
      "",
      "INFO: UTF-8 text, as iconv leaves a log\r\n",
      LogBytes(u"\xFEFFnotes\r\nmore notes\r\n"),
  };
  for (const std::string& bytes : kNotLogs) {
    std::vector<LogRecord> records;
    EXPECT_FALSE(ReadLogRecords(bytes, &records)) << bytes;
  }
  std::vector<LogRecord> records;
  EXPECT_TRUE(ReadLogRecords(LogBytes(u"notes\r\nWARNING: w\r\n"), &records));
  EXPECT_EQ(records[0].kind, RecordKind::kUnknown);
}

}  // namespace
