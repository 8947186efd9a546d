// REGEDIT4 text: reading files as Windows writes them, writing files that
// read back the same, and staying stable on malformed input.
#include <gtest/gtest.h>

#include <string>

#include "platform/registry_store.h"

namespace {

const store_key* key_of(const store_document& doc, const std::string& path) {
  for (const store_key& k : doc.keys)
    if (k.path == path) return &k;
  return nullptr;
}

const store_value* value_of(const store_key& key, const std::string& name) {
  for (const store_value& v : key.values)
    if (v.name == name) return &v;
  return nullptr;
}

void expect_same(const store_document& a, const store_document& b) {
  ASSERT_EQ(a.keys.size(), b.keys.size());
  for (size_t i = 0; i < a.keys.size(); ++i) {
    EXPECT_EQ(a.keys[i].path, b.keys[i].path);
    ASSERT_EQ(a.keys[i].values.size(), b.keys[i].values.size()) << a.keys[i].path;
    for (size_t j = 0; j < a.keys[i].values.size(); ++j) {
      const store_value& x = a.keys[i].values[j];
      const store_value& y = b.keys[i].values[j];
      EXPECT_EQ(x.name, y.name);
      EXPECT_EQ(x.type, y.type) << x.name;
      EXPECT_EQ(x.data, y.data) << x.name;
      EXPECT_EQ(x.raw, y.raw) << x.name;
    }
  }
}

TEST(StoreParse, FormatEscapesBackslashesAndQuotesAndReadsThemBack) {
  store_document doc;
  doc.keys.push_back({"Software\\Orvanel\\Kestrel",
                      {{"RootDirectory", STORE_SZ, "C:\\tftp\\", ""}, {"Say \"hi\"", STORE_SZ, "a \"b\" \\c", ""}}});
  doc.keys.push_back({"Software\\Orvanel\\Kestrel\\Access", {{"%root%\\0", STORE_SZ, "rw,10.0.0.1-10.0.0.9", ""}}});

  std::string text = store_format(doc, HIVE_MACHINE);
  EXPECT_EQ(text,
            "REGEDIT4\n"
            "\n"
            "[HKEY_LOCAL_MACHINE\\Software\\Orvanel\\Kestrel]\n"
            "\"RootDirectory\"=\"C:\\\\tftp\\\\\"\n"
            "\"Say \\\"hi\\\"\"=\"a \\\"b\\\" \\\\c\"\n"
            "\n"
            "[HKEY_LOCAL_MACHINE\\Software\\Orvanel\\Kestrel\\Access]\n"
            "\"%root%\\\\0\"=\"rw,10.0.0.1-10.0.0.9\"\n"
            "\n");

  store_document back;
  store_parse(text, &back);
  expect_same(doc, back);

  std::string user = store_format(doc, HIVE_USER);
  EXPECT_NE(user.find("[HKEY_CURRENT_USER\\Software\\Orvanel\\Kestrel\\Access]\n"), std::string::npos);
  store_parse(user, &back);
  expect_same(doc, back);
}

TEST(StoreParse, ReadsWindowsExportWithOtherTypesCommentsAndCrlf) {
  const std::string text =
      "\xEF\xBB\xBFREGEDIT4\r\n"
      "\r\n"
      "; exported settings\r\n"
      "[HKEY_LOCAL_MACHINE\\SOFTWARE\\Orvanel\\Kestrel]\r\n"
      "@=\"default value\"\r\n"
      "\"Port\"=dword:00000045\r\n"
      "\"Blob\"=hex:01,02,\\\r\n"
      "  ff,10\r\n"
      "\"Expand\"=hex(2):25,00,41,00\r\n"
      "\"Gone\"=-\r\n"
      "\"RootDirectory\" = \"/srv/tftp/\"\r\n"
      "\"broken=\"x\r\n"
      "\"NoEquals\" \"x\"\r\n"
      "\"Word\"=word\r\n"
      "\r\n"
      "[-HKEY_LOCAL_MACHINE\\SOFTWARE\\Old]\r\n"
      "\"Lost\"=\"x\"\r\n"
      "[HKEY_CLASSES_ROOT\\Other]\r\n"
      "\"Lost\"=\"y\"\r\n"
      "[HKEY_CURRENT_USER\\SOFTWARE\\Orvanel\\Kestrel\\Access]\r\n"
      "\"%root%\\\\0\"=\"r\"\r\n";
  store_document doc;
  store_parse(text, &doc);

  ASSERT_EQ(doc.keys.size(), 2u);
  const store_key* k = key_of(doc, "SOFTWARE\\Orvanel\\Kestrel");
  ASSERT_NE(k, nullptr);
  ASSERT_EQ(k->values.size(), 4u);

  const store_value* port = value_of(*k, "Port");
  ASSERT_NE(port, nullptr);
  EXPECT_EQ(port->type, STORE_OTHER);
  EXPECT_EQ(port->raw, "dword:00000045");
  EXPECT_EQ(port->data, std::string("\x45\0\0\0", 4));

  const store_value* blob = value_of(*k, "Blob");
  ASSERT_NE(blob, nullptr);
  EXPECT_EQ(blob->type, STORE_OTHER);
  EXPECT_EQ(blob->raw, "hex:01,02,\\\n  ff,10");
  EXPECT_EQ(blob->data, std::string("\x01\x02\xff\x10", 4));

  const store_value* expand = value_of(*k, "Expand");
  ASSERT_NE(expand, nullptr);
  EXPECT_EQ(expand->data, std::string("%\0A\0", 4));

  const store_value* root = value_of(*k, "RootDirectory");
  ASSERT_NE(root, nullptr);
  EXPECT_EQ(root->type, STORE_SZ);
  EXPECT_EQ(root->data, "/srv/tftp/");

  const store_key* access = key_of(doc, "SOFTWARE\\Orvanel\\Kestrel\\Access");
  ASSERT_NE(access, nullptr);
  ASSERT_EQ(access->values.size(), 1u);
  EXPECT_EQ(access->values[0].name, "%root%\\0");
  EXPECT_EQ(access->values[0].data, "r");

  // Other types are written back exactly as they were, layout included.
  std::string out = store_format(doc, HIVE_MACHINE);
  EXPECT_NE(out.find("\n\"Port\"=dword:00000045\n"), std::string::npos);
  EXPECT_NE(out.find("\n\"Blob\"=hex:01,02,\\\n  ff,10\n"), std::string::npos);
  EXPECT_NE(out.find("\n\"Expand\"=hex(2):25,00,41,00\n"), std::string::npos);
}

TEST(StoreParse, MalformedOtherValuesGiveNoBytes) {
  store_document doc;
  store_parse(
      "[HKEY_LOCAL_MACHINE\\K]\n"
      "\"Long\"=dword:123456789\n"
      "\"Empty\"=dword:\n"
      "\"Short\"=dword:7\n"
      "\"Mixed\"=hex:01,zz,123,2\n",
      &doc);
  ASSERT_EQ(doc.keys.size(), 1u);
  const store_key& k = doc.keys[0];
  ASSERT_EQ(k.values.size(), 4u);
  EXPECT_EQ(value_of(k, "Long")->data, "");
  EXPECT_EQ(value_of(k, "Empty")->data, "");
  EXPECT_EQ(value_of(k, "Short")->data, std::string("\x07\0\0\0", 4));
  EXPECT_EQ(value_of(k, "Mixed")->data, std::string("\x01\x02", 2));
}

TEST(StoreParse, NamesMatchWithoutCaseAndKeepFirstSpelling) {
  store_document doc;
  store_parse(
      "REGEDIT4\n\n"
      "[HKEY_LOCAL_MACHINE\\Software\\Orvanel]\n"
      "\"RootDirectory\"=\"a\"\n"
      "[hkey_local_machine\\SOFTWARE\\orvanel\\]\n"
      "\"rootdirectory\"=\"b\"\n"
      "\"Other\"=\"c\"\n"
      "[HKEY_LOCAL_MACHINE\\\\Software\\\\ Orvanel ]\n"
      "\"OTHER\"=dword:00000001\n",
      &doc);
  ASSERT_EQ(doc.keys.size(), 1u);
  EXPECT_EQ(doc.keys[0].path, "Software\\Orvanel");
  ASSERT_EQ(doc.keys[0].values.size(), 2u);
  EXPECT_EQ(doc.keys[0].values[0].name, "RootDirectory");
  EXPECT_EQ(doc.keys[0].values[0].data, "b");  // the later assignment wins
  EXPECT_EQ(doc.keys[0].values[1].name, "Other");
  EXPECT_EQ(doc.keys[0].values[1].type, STORE_OTHER);
}

TEST(StoreParse, EmptySectionIsAKeyAndRootSectionHasEmptyPath) {
  store_document doc;
  store_parse("[HKEY_LOCAL_MACHINE\\Empty]\n[HKEY_LOCAL_MACHINE]\n\"Top\"=\"1\"\n", &doc);
  ASSERT_EQ(doc.keys.size(), 2u);
  EXPECT_EQ(doc.keys[0].path, "Empty");
  EXPECT_TRUE(doc.keys[0].values.empty());
  EXPECT_EQ(doc.keys[1].path, "");
  ASSERT_EQ(doc.keys[1].values.size(), 1u);
  store_document back;
  store_parse(store_format(doc, HIVE_MACHINE), &back);
  expect_same(doc, back);
}

const char WITH_NULS[] = "[HKEY_LOCAL_MACHINE\\a\0b]\n\"n\0\"=\"d\0\"\n";

// Edges of the grammar where parse -> format -> parse could drift.
TEST(StoreParse, RoundTripIsStableOnAwkwardInput) {
  const std::string cases[] = {
      "",
      "[",
      "]",
      "\"",
      "[HKEY_LOCAL_MACHINE",
      "[HKEY_LOCAL_MACHINEX\\a]\n\"v\"=\"1\"",
      "[HKEY_LOCAL_MACHINE\\a]b]\n\"v\"=\"1\"",
      "[HKEY_LOCAL_MACHINE\\a]\n\"v\"=",
      "[HKEY_LOCAL_MACHINE\\a]\n\"v\"=hex:01,\\",
      "[HKEY_LOCAL_MACHINE\\a]\n\"v\"=hex:01\\\\",
      "[HKEY_LOCAL_MACHINE\\a]\n\"v\"=hex:01,\\\n\\\\\\",  // a continued line of backslashes only
      "[HKEY_LOCAL_MACHINE\\a]\n\"v\"=hex:01,\\\n\n\"w\"=\"2\"",
      "[HKEY_LOCAL_MACHINE\\a]\n\"v\"=hex:01,\\\n[HKEY_LOCAL_MACHINE\\b]\n\"w\"=\"2\"",
      "\"v\"=hex:01,\\\n[HKEY_LOCAL_MACHINE\\b]\n\"w\"=\"2\"",
      "[HKEY_LOCAL_MACHINE\\a]\n\"v\"=hex:01,\\ \t\r\n  02 \r\n",
      "[HKEY_LOCAL_MACHINE\\a]\n\"back\\\\\"=\"slash\\\\\"\n\"odd\\q\"=\"\\n\\\"\"",
      "[HKEY_LOCAL_MACHINE\\a]\n\"\"=\"empty name\"\n\"x\"=\"\"",
      std::string(WITH_NULS, sizeof WITH_NULS - 1),
      "[HKEY_LOCAL_MACHINE\\a]\n\"cr\rin\"=\"the\rmiddle\r\"\r\r\n",
      "[HKEY_LOCAL_MACHINE\\ \t\\a\\\\ b \\]\n\"v\"=\"1\"",
      "[HKEY_LOCAL_MACHINE\\a]\n\"v\"=DWORD:0000FFFF trailing words",
      "\xEF\xBB\xBF\xEF\xBB\xBF[HKEY_LOCAL_MACHINE\\a]",
  };
  for (const std::string& text : cases) {
    SCOPED_TRACE(testing::PrintToString(text));
    store_document first, second;
    store_parse(text, &first);
    std::string once = store_format(first, HIVE_MACHINE);
    store_parse(once, &second);
    expect_same(first, second);
    EXPECT_EQ(store_format(second, HIVE_MACHINE), once);
  }
}

TEST(StoreParse, ContinuationAtEndOfInputIsDropped) {
  store_document doc;
  store_parse("[HKEY_LOCAL_MACHINE\\a]\n\"v\"=hex:01,02,\\", &doc);
  ASSERT_EQ(doc.keys.size(), 1u);
  ASSERT_EQ(doc.keys[0].values.size(), 1u);
  EXPECT_EQ(doc.keys[0].values[0].raw, "hex:01,02,");
  EXPECT_EQ(doc.keys[0].values[0].data, "\x01\x02");
}

}  // namespace

// The lines that set nothing, with their numbers, for the check of the
// settings: continuation lines, comments, sections of other roots and the
// header are not among them.
TEST(StoreParse, LinesThatSetNothingAreListedWithTheirNumbers) {
  std::string text =
      "REGEDIT4\r\n"
      "\r\n"
      "[HKEY_LOCAL_MACHINE\\Software\\Orvanel\\Kestrel]\r\n"
      "; a comment\r\n"
      "Port=69\r\n"
      "\"Timeout\"=5\r\n"
      "\"Bytes\"=hex:01,02,\\\r\n"
      "  03\r\n"
      "\"Open\"=\"no end\r\n"
      "\"Upload\"=\"0\"\r\n"
      "[HKEY_CLASSES_ROOT\\Other]\r\n"
      "[broken\r\n"
      "@=\"default\"\r\n"
      "REGEDIT4\r\n";
  store_document doc;
  std::vector<store_line> unread;
  store_parse(text, &doc, &unread);
  ASSERT_EQ(unread.size(), 6u);
  const size_t numbers[] = {5, 6, 9, 12, 13, 14};
  const char* texts[] = {"Port=69", "\"Timeout\"=5", "\"Open\"=\"no end", "[broken", "@=\"default\"", "REGEDIT4"};
  for (size_t i = 0; i < 6; i++) {
    EXPECT_EQ(unread[i].number, numbers[i]) << i;
    EXPECT_EQ(unread[i].text, texts[i]) << i;
  }
  const store_key* k = key_of(doc, "Software\\Orvanel\\Kestrel");
  ASSERT_NE(k, nullptr);
  EXPECT_NE(value_of(*k, "Upload"), nullptr) << "reading goes on after a bad line";
  EXPECT_NE(value_of(*k, "Bytes"), nullptr);
}
