// Fills pixels of a tile with one colour, converted to the tile's format
// (RGB takes r, g, b; RGBA all four; ALPHA the alpha). `region` null fills
// the whole tile; otherwise only its part inside the tile.
#pragma once

#include "primitives/coRgbaColor.h"
#include "primitives/geRectangle.h"
#include "primitives/ixTile.h"

void ipSet(IxWriteGuard& guard, CoRgbaColorTyped<float> const& color, GeRectangle<int> const* region = nullptr);
