// Compound documents (the OLE2 container of Word, Excel and PowerPoint 97-2003 and others),
// measured from their sector allocation table.
#pragma once

#include "carving/formats/carve_context.h"

namespace carving::formats {

// The file ends after the highest sector the allocation table marks used: (that sector + 2)
// sectors, the header sector included. Exact when every table sector the header and its
// extension chain name can be read; AtLeast one sector when they cannot; Rejected when the
// header is not a compound document header.
FormatLength CompoundLength(CarveContext& ctx);

}  // namespace carving::formats
