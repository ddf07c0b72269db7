// The version resource of the module (library or program) that holds the
// calling code.
#pragma once

#include <string>

namespace plat {

// True where modules carry version resources (Windows). Elsewhere a module
// keeps its version in its code.
bool hasVersionResources();

// The "ProductVersion" text of the module's version resource
// ("\StringFileInfo\040904b0\ProductVersion"); empty when it has none.
std::string moduleProductVersion();

} // namespace plat
