// Growing a vector ahead of a step that must not fail.
#pragma once

#include <algorithm>
#include <cstddef>
#include <vector>

namespace kovra {

// Room for `extra` more elements with geometric growth: reserving size() + 1
// directly would reallocate on every insertion.
template <class T>
void reserve_more(std::vector<T>& items, std::size_t extra) {
  if (items.size() + extra > items.capacity()) {
    items.reserve(std::max(items.size() + extra, items.capacity() * 2));
  }
}

}  // namespace kovra
