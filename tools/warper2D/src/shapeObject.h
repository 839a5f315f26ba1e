// Links of a shape: the positions on the source and destination curves that
// the warp ties together. ShapeObject keeps them well formed: it normalises
// positions onto the curve, pairs the source and destination links in order
// along the curves, finds the link that corresponds to a given one, and
// clamps a link being moved so that it stays strictly between its
// neighbours.
//
// A link position is a global curve parameter: a closed curve of N control
// points has positions in [0, N), an open one in [0, N - 1]. Link i of the
// source vector is meant to correspond to link i of the destination vector;
// surplus links of the longer vector are ignored. On open curves links pair
// by their order along the curve; on closed curves by their order counted
// cyclically from link 0, so link 0 always pairs with link 0.
//
// All operations are stateless and thread-safe; every call rebuilds its small
// sorted lists.
#pragma once

#include "base/vector.h"

namespace Qx {

class ShapeObject {
 public:
  // The position moved onto the curve: wrapped into [0, nbPoints) on a
  // closed curve, clamped into [0, nbPoints - 1] on an open one.
  static float normalizeLinkPosition(bool closed, int nbPoints, float position);

  // Normalised link pairs ordered along the source curve: the source output
  // ascends, and entry j of the two outputs is a linked pair. Both outputs
  // have the length of the shorter input.
  static void sortAndNormalizeLinks(bool closed, int nbSrcPoints, Vector<float> const& srcLinks, int nbDstPoints,
                                    Vector<float> const& dstLinks, Vector<float>& outSrc, Vector<float>& outDst);

  // The number of the link paired with link `linkIndex` of the source
  // (fromDestination false) or of the destination (true). An unknown link
  // is an internal invariant failure.
  static int getCorrespondingLinkIndex(bool closed, int nbSrcPoints, Vector<float> const& srcLinks, int nbDstPoints,
                                       Vector<float> const& dstLinks, bool fromDestination, int linkIndex);

  // Where link `linkIndex` may go when asked to move to `position`: strictly
  // between its neighbours along the curve, keeping a small gap. On a closed
  // curve the first and last links may pass the curve's start. A single link
  // moves anywhere (the position comes back unchanged).
  static float clampLinkPosition(bool closed, int nbPoints, Vector<float> const& links, int linkIndex,
                                 float position);
};

}  // namespace Qx
