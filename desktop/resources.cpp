#include "desktop/resources.h"

#include <wx/xrc/xmlres.h>

// Written by wxrc -c from desktop/resources/*.xrc.
extern void InitXmlResource();

wxXmlResource* resource_module = nullptr;

wxXmlResource* program_instance() { return wxXmlResource::Get(); }

void load_program_resources() {
  program_instance()->InitAllHandlers();
  InitXmlResource();
  if (!resource_module) resource_module = program_instance();
}
