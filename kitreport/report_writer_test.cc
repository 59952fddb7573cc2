#include "kitreport/report_writer.h"

#include <gtest/gtest.h>

namespace {

LogRecord Orphan(const WideString& stem) {
  LogRecord record;
  record.run = 2;
  record.program = u"C:\\kit\\pairscan.exe";
  record.started = "2026-12-10T02:46Z";
  record.kind = RecordKind::kOrphan;
  record.file = stem;
  record.text = u"SUSPICIOUS: There is no corresponding inf file for " + stem;
  return record;
}

TEST(ReportWriterTest, JsonKeepsEveryUnit) {
  // A quote, a backslash, a control character, a pair, lone surrogates of
  // both halves and text after them.
  LogRecord record = Orphan(u"a\"\\\x01\U0001F600\xDC80\xD800z");
  EXPECT_EQ(JsonLine(u"logs/h\xDCFF.log", record),
            "{\"log\":\"logs/h\\udcff.log\",\"run\":2,"
            "\"program\":\"C:\\\\kit\\\\pairscan.exe\","
            "\"started\":\"2026-12-10T02:46Z\",\"kind\":\"orphan\","
            "\"file\":\"a\\\"\\\\\\u0001\xF0\x9F\x98\x80\\udc80\\ud800z\","
            "\"detail\":\"\","
            "\"text\":\"SUSPICIOUS: There is no corresponding inf file for "
            "a\\\"\\\\\\u0001\xF0\x9F\x98\x80\\udc80\\ud800z\","
            "\"shadow_copy\":null}\n");
}

// A record of a shadow copy's walk carries the copy's time; one outside a
// copy's walk has none: null in JSON, an empty column in CSV.
TEST(ReportWriterTest, TheShadowCopyOfARecord) {
  LogRecord in_copy = Orphan(u"s");
  in_copy.shadow_copy = "2019-06-04T23:43:32Z";
  EXPECT_EQ(JsonLine(u"-", in_copy),
            "{\"log\":\"-\",\"run\":2,"
            "\"program\":\"C:\\\\kit\\\\pairscan.exe\","
            "\"started\":\"2026-12-10T02:46Z\",\"kind\":\"orphan\","
            "\"file\":\"s\",\"detail\":\"\","
            "\"text\":\"SUSPICIOUS: There is no corresponding inf file for "
            "s\",\"shadow_copy\":\"2019-06-04T23:43:32Z\"}\n");
  EXPECT_EQ(CsvRow(u"-", in_copy),
            "-,2,C:\\kit\\pairscan.exe,2026-12-10T02:46Z,orphan,s,,"
            "SUSPICIOUS: There is no corresponding inf file for s,"
            "2019-06-04T23:43:32Z\r\n");
}

TEST(ReportWriterTest, CsvQuotesOnlyWhatNeedsIt) {
  EXPECT_EQ(CsvHeader(),
            "log,run,program,started,kind,file,detail,text,shadow_copy\r\n");
  EXPECT_EQ(CsvRow(u"-", Orphan(u"s")),
            "-,2,C:\\kit\\pairscan.exe,2026-12-10T02:46Z,orphan,s,,"
            "SUSPICIOUS: There is no corresponding inf file for s,\r\n");
  LogRecord unknown = Orphan(u"a,\"b\"\r\n\xDC80");
  unknown.kind = RecordKind::kUnknown;
  unknown.run = 0;
  unknown.program.clear();
  unknown.started.clear();
  EXPECT_EQ(CsvRow(u"x.log", unknown),
            "x.log,0,,,,\"a,\"\"b\"\"\r\n\xEF\xBF\xBD\",,"
            "\"SUSPICIOUS: There is no corresponding inf file for "
            "a,\"\"b\"\"\r\n\xEF\xBF\xBD\",\r\n");
}

}  // namespace
