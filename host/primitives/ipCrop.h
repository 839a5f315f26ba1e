// Copies pixels from one tile into another where their regions overlap,
// converting between pixel formats (the colour conventions of ixReadColor and
// ixWriteColor: RGB reads with alpha 1, ALPHA as (0, 0, 0, a)). `region`
// limits the copy further; null copies the whole overlap. Pixels of the
// destination outside the overlap are left as they are. Source and
// destination must not share pixels.
#pragma once

#include "primitives/geRectangle.h"
#include "primitives/ixTile.h"

void ipCrop(IxReadGuard const& src, IxWriteGuard const& dst, GeRectangle<int> const* region = nullptr);
