// Language modules: the list beside the program, the choice, the stored value.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <fstream>
#include <utility>
#include <string>
#include <vector>

#include "core/registry.h"
#include "core/settings.h"
#include "desktop/language_modules.h"
#include "desktop/ui_strings.h"
#include "platform/registry_store.h"
#include "tests/unit/test_support.h"

namespace {

class LanguageTest : public ::testing::Test {
 protected:
  void SetUp() override {
    use_fresh_store();
    program = make_temp_dir();
    languages = program + "Languages/";
    ASSERT_EQ(mkdir(languages.c_str(), 0755), 0);
  }
  void add(const std::string& name) { std::ofstream(languages + name) << "module"; }
  std::string program, languages;
};

TEST_F(LanguageTest, ModulesAreListedWithAnUpperCaseFirstLetterAndSorted) {
  for (const char* name : {"deutsch.xrs", "francais.XRS", "Espanol.xrs", "notes.txt", "xrs",
                           "a-name-much-too-long-to-be-stored.xrs"})
    add(name);
  ASSERT_EQ(mkdir((languages + "dir.xrs").c_str(), 0755), 0);
  std::vector<language_module> modules;
  ASSERT_EQ(list_language_modules(program.c_str(), &modules), 3u);
  EXPECT_EQ(modules[0].module, "Deutsch.xrs");
  EXPECT_EQ(modules[0].file_name, "deutsch.xrs");
  EXPECT_EQ(modules[1].module, "Espanol.xrs");
  EXPECT_EQ(modules[2].module, "Francais.XRS");
  EXPECT_EQ(language_list_rows(modules, "English"),
            (std::vector<std::string>{"Deutsch.xrs", "English", "Espanol.xrs", "Francais.XRS"}));

  std::string without_slash = program.substr(0, program.size() - 1);
  EXPECT_EQ(list_language_modules(without_slash.c_str(), &modules), 3u);
  EXPECT_EQ(list_language_modules((program + "none/").c_str(), &modules), 0u);
  EXPECT_EQ(language_list_rows(modules, "English"), std::vector<std::string>{"English"});
}

TEST_F(LanguageTest, TheStoredChoiceComesFirstThenTheUsersLanguage) {
  EXPECT_EQ(language_from_environment(nullptr, nullptr, "de_DE.UTF-8"), "deutsch.xrs");
  EXPECT_EQ(language_from_environment(nullptr, "de_AT", "en_US.UTF-8"), "deutsch.xrs");
  EXPECT_EQ(language_from_environment("C", "de_DE", "de_DE"), "") << "LC_ALL decides when set";
  EXPECT_EQ(language_from_environment("", "", "de"), "deutsch.xrs");
  EXPECT_EQ(language_from_environment(nullptr, nullptr, "de@euro"), "deutsch.xrs");
  EXPECT_EQ(language_from_environment(nullptr, nullptr, "dev_XX"), "");
  EXPECT_EQ(language_from_environment(nullptr, nullptr, "en_GB"), "");
  EXPECT_EQ(language_from_environment(nullptr, nullptr, nullptr), "");
  EXPECT_EQ(choose_language_module("Espanol.xrs", nullptr, nullptr, "de_DE"), "Espanol.xrs");
  EXPECT_EQ(choose_language_module("", nullptr, nullptr, "de_DE"), "deutsch.xrs");
}

TEST_F(LanguageTest, OnlyAModuleFileBesideTheProgramIsLoaded) {
  EXPECT_EQ(language_module_path(program.c_str(), "deutsch.xrs"), "") << "a German system without the file: English";
  add("deutsch.xrs");
  EXPECT_EQ(language_module_path(program.c_str(), "deutsch.xrs"), languages + "deutsch.xrs");
  // The list shows Deutsch.xrs and that is what Apply stores.
  EXPECT_EQ(language_module_path(program.c_str(), "Deutsch.xrs"), languages + "deutsch.xrs");
  add("Deutsch.xrs");
  EXPECT_EQ(language_module_path(program.c_str(), "Deutsch.xrs"), languages + "Deutsch.xrs") << "exact name first";
  std::ofstream(program + "outside.xrs") << "module";
  for (const char* name : {"../outside.xrs", "..", ".", "", "sub/deutsch.xrs"})
    EXPECT_EQ(language_module_path(program.c_str(), name), "") << name;
}

TEST_F(LanguageTest, ApplyStoresTheChoiceAndTheBuiltInRowDeletesIt) {
  add("deutsch.xrs");
  add("espanol.xrs");
  // This process's own language, put back at the end.
  std::vector<std::pair<const char*, std::string>> saved;
  for (const char* name : {"LANG", "LC_ALL", "LC_MESSAGES"})
    if (const char* value = getenv(name)) saved.emplace_back(name, value);
  setenv("LANG", "de_DE.UTF-8", 1);
  unsetenv("LC_ALL");
  unsetenv("LC_MESSAGES");
  EXPECT_EQ(resolve_language_module(program.c_str()), languages + "deutsch.xrs");
  ASSERT_EQ(store_language_choice("Espanol.xrs", "English"), 1);
  std::string text;
  ASSERT_EQ(store_read_value(HIVE_MACHINE, "Software\\Orvanel\\Kestrel", "Language", &text), 1);
  EXPECT_EQ(text, "Espanol.xrs");
  EXPECT_EQ(resolve_language_module(program.c_str()), languages + "espanol.xrs");
  // English deletes the value, so a German system is German again.
  ASSERT_EQ(store_language_choice("English", "English"), 1);
  EXPECT_EQ(store_read_value(HIVE_MACHINE, "Software\\Orvanel\\Kestrel", "Language", &text), 0);
  EXPECT_EQ(resolve_language_module(program.c_str()), languages + "deutsch.xrs");
  EXPECT_EQ(store_language_choice(std::string(32, 'x') + ".xrs", "English"), 0);
  // A stored name that points elsewhere loads nothing.
  ASSERT_EQ(store_write_value(HIVE_MACHINE, "Software\\Orvanel\\Kestrel", "Language", "../../x.xrs"), 1);
  EXPECT_EQ(resolve_language_module(program.c_str()), "");
  unsetenv("LANG");
  for (const auto& [name, value] : saved) setenv(name, value.c_str(), 1);
}

// A module that lacks a string, or has it empty, shows the program's own.
TEST_F(LanguageTest, MissingModuleStringsFallBackToTheBuiltInOnes) {
  module_ui_strings = {{1, "Deutsch"}, {28, ""}};
  char text[64];
  EXPECT_STREQ(load_ui_string(UI_LANGUAGE_NAME, text, sizeof text), "Deutsch");
  EXPECT_STREQ(load_ui_string(UI_LISTENING, text, sizeof text), " Listening on Port %u");
  EXPECT_STREQ(load_ui_string(UI_SERVER_PAUSED, text, sizeof text), " Server paused");
  module_ui_strings.clear();
}

// The table as a module carries it: comments, CR LF, bad lines skipped.
TEST_F(LanguageTest, ModuleStringTableIsReadLineByLine) {
  std::map<int, std::string> table;
  parse_module_strings("# comment\r\n1\tDeutsch\r\n26\t Empfang auf Port %u\n"
                       "x\tno id\n0\tzero\n70000\ttoo big\nno tab\n\t\n17\t&Neu\n17\t&Neuer Eintrag",
                       &table);
  EXPECT_EQ(table, (std::map<int, std::string>{{1, "Deutsch"}, {17, "&Neuer Eintrag"},
                                               {26, " Empfang auf Port %u"}}));
}

}  // namespace
