// The shared sentinel of the library's red-black trees. Every tree's leaves and root parent
// point at this one node; its three links point at itself once the library is loaded.
#pragma once

#include "system/platform/export.h"

namespace Yr::RBTreeDetail {

struct Node {
  Node* parent;
  Node* left;
  Node* right;
  bool red;
};

YR_API extern Node nil;

// Load step: links the sentinel to itself.
void BuildSentinel();

}  // namespace Yr::RBTreeDetail
