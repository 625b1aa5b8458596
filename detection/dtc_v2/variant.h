#pragma once
// Which bin-weight lookup this deliverable's classifier uses. Defined once per executable by the variant
// object library it links: ormelin_dtc_variant_station (sorted `ind` search) or ormelin_dtc_variant_station2
// (dense table). Linking neither fails at link time, so no executable can run with an unchosen lookup.

namespace dtc_v2 {

bool UseDenseBinWeights();

} // namespace dtc_v2
