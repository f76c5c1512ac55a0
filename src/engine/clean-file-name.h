// The name a share page gives a file, made fit to be saved and shown: the
// page is anyone's, and so is the name.
#pragma once

#include "util/text.h"

namespace korvath {

// `name` (system text) without bidirectional controls and zero-width
// characters (IsHiddenFormatChar), which would show "invoice\u202Efdp.exe"
// as "invoiceexe.pdf" or a blank name as something. A name whose part before
// its extension is then empty or only spaces becomes "未命名" plus the
// extension. An empty name stays empty: the page named no file, and aria2
// names it from its address.
Text CleanFileName(const Text& name);

}  // namespace korvath
