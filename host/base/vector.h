// The host's growable array. It is the standard vector: the plug-in only needs
// contiguous storage, size queries and element access.
#pragma once

#include <vector>

template <class T>
using Vector = std::vector<T>;
