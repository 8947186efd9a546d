// Where the menu, the dialog templates and the UI strings come from: the
// program's own resources (compiled in with wxrc), or a language module's,
// loaded the same way from its archive.
#pragma once

class wxXmlResource;

// The language module's resources, or program_instance() when none is loaded.
extern wxXmlResource* resource_module;

// The program's own resources: the about box and every icon always come from here.
wxXmlResource* program_instance();

// Registers the compiled-in templates with program_instance(); once, at start.
void load_program_resources();
