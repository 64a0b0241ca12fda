#pragma once
// The module's package directory: quelvant_rs/ beside the module's own file, installed with
// it, holding its pure-Python parts (the console). It becomes the module's __path__, so
// `python -m quelvant_rs.console` and `import quelvant_rs.console` find that code, while the
// submodules made here (client, commands, values, session) stay attributes only: no file of
// theirs is in that directory, so importing them by a dotted name still fails.
#include "binding/ref.hpp"

namespace qv::py {

// A new list holding the directory's path, or null with an exception set.
Ref package_path();

}  // namespace qv::py
