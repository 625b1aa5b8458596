#include "detection/dtc_v2/variant.h"

// Compiled twice: once plain for ormelin_station, once with ORMELIN_STATION2=1 for ormelin_station2.
#ifndef ORMELIN_STATION2
#define ORMELIN_STATION2 0
#endif

namespace dtc_v2 {

bool UseDenseBinWeights() { return ORMELIN_STATION2 != 0; }

} // namespace dtc_v2
