#include "desktop/resources.h"

#include <wx/filesys.h>
#include <wx/fs_arc.h>
#include <wx/stream.h>
#include <wx/xml/xml.h>
#include <wx/xrc/xmlres.h>

#include <memory>

#include "desktop/language_modules.h"
#include "desktop/ui_strings.h"
#include "platform/program_path.h"

// Written by wxrc -c from desktop/resources/*.xrc.
extern void InitXmlResource();

wxXmlResource* resource_module = nullptr;
static wxXmlResource* loaded_module = nullptr;  // owned; resource_module when set

wxXmlResource* program_instance() { return wxXmlResource::Get(); }

void load_program_resources() {
  program_instance()->InitAllHandlers();
  InitXmlResource();
  // Modules are zip archives: their templates and strings are read through it.
  wxFileSystem::AddHandler(new wxArchiveFSHandler);
  if (!resource_module) resource_module = program_instance();
}

// The text of one member of a module archive, or 0 when it cannot be read.
static int read_member(const std::string& path, const char* member, std::string* out) {
  wxFileSystem fs;
  std::unique_ptr<wxFSFile> file(
      fs.OpenFile(wxFileSystem::FileNameToURL(wxString::FromUTF8(path)) + "#zip:" + member, wxFS_READ));
  if (!file || !file->GetStream()) return 0;
  wxInputStream* in = file->GetStream();
  out->clear();
  char chunk[4096];
  // A string table is small; a huge member is no module.
  while (out->size() < (1u << 20)) {
    in->Read(chunk, sizeof chunk);
    size_t got = in->LastRead();
    if (got == 0) break;
    out->append(chunk, got);
  }
  return 1;
}

int read_module_strings(const std::string& path, std::map<int, std::string>* strings) {
  std::string text;
  if (!read_member(path, "strings.txt", &text)) return 0;
  strings->clear();
  parse_module_strings(text, strings);
  return 1;
}

void load_language_module() {
  if (loaded_module) {
    resource_module = program_instance();
    delete loaded_module;
    loaded_module = nullptr;
  }
  resource_module = program_instance();
  module_ui_strings.clear();
  char directory[4096];
  if (data_directory(directory, sizeof directory) == 0) return;
  // The chosen module's file beneath Languages/, or "" for the built-in texts.
  std::string path = resolve_language_module(directory);
  if (path.empty()) return;
  std::map<int, std::string> strings;
  if (!read_module_strings(path, &strings)) return;
  auto* module = new wxXmlResource(wxXRC_NO_SUBCLASSING);
  module->InitAllHandlers();
  if (!module->Load(wxFileSystem::FileNameToURL(wxString::FromUTF8(path)) + "#zip:*.xrc")) {
    delete module;
    return;
  }
  loaded_module = resource_module = module;
  module_ui_strings = std::move(strings);
}

std::string template_title(wxXmlResource* resources, const char* name) {
  const wxXmlNode* node = resources ? resources->GetResourceNode(name) : nullptr;
  for (const wxXmlNode* child = node ? node->GetChildren() : nullptr; child; child = child->GetNext())
    if (child->GetName() == "title") return child->GetNodeContent().utf8_string();
  return "";
}
