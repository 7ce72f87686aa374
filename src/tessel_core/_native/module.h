// What every single-file module of the package starts with: the class
// builder, the interned-name macro S, and the module namespace `globals`
// (filled by globals.init(m) in NB_MODULE) with G(name) looking a name up in
// it at call time, as Python code would.
#pragma once
#include "tessel_core/_native/pyclass.h"

using pyclass::ClassDef;
using pyclass::obj;
#define S PYCLASS_S

namespace {
pyclass::ModuleGlobals globals;
}
#define G(name) globals.get(S(name))
