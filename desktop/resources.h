// Where the menu, the dialog templates and the UI strings come from: the
// program's own resources (compiled in with wxrc), or a language module's,
// loaded the same way from its archive.
#pragma once

#include <map>
#include <string>

class wxXmlResource;
class wxWindow;

// The language module's resources, or program_instance() when none is loaded.
extern wxXmlResource* resource_module;

// The program's own resources: the about box and every icon always come from here.
wxXmlResource* program_instance();

// Registers the compiled-in templates with program_instance(); once, at start.
void load_program_resources();

// Unloads the module loaded before and loads the one chosen by the stored
// "Language" value or the user's language (Languages/<name>.xrs beside the
// program). A module that cannot be read leaves the program's own texts and
// templates, without a message. Afterwards resource_module is always valid
// and module_ui_strings holds the module's string table (or nothing).
void load_language_module();

// The string table of a module file, read without loading its templates
// (the Language page lists modules this way). Returns 1, or 0 when the file
// is no readable module.
int read_module_strings(const std::string& path, std::map<int, std::string>* strings);

// The <title> of a template: the tab of a preferences page. Empty when the
// template has none or does not exist.
std::string template_title(wxXmlResource* resources, const char* name);
