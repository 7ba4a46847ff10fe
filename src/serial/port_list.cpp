#include "serial/port_list.h"

#include <algorithm>
#include <cstddef>

namespace {

bool IsDigit(char c) { return c >= '0' && c <= '9'; }

}  // namespace

bool PortNameLess(const std::string& a, const std::string& b) {
  std::size_t i = 0;
  std::size_t j = 0;
  while (i < a.size() && j < b.size()) {
    if (IsDigit(a[i]) && IsDigit(b[j])) {
      // Leading zeros aside, the longer run of digits is the larger number.
      while (i < a.size() && a[i] == '0') {
        ++i;
      }
      while (j < b.size() && b[j] == '0') {
        ++j;
      }
      std::size_t endA = i;
      std::size_t endB = j;
      while (endA < a.size() && IsDigit(a[endA])) {
        ++endA;
      }
      while (endB < b.size() && IsDigit(b[endB])) {
        ++endB;
      }
      if (endA - i != endB - j) {
        return endA - i < endB - j;
      }
      const int order = a.compare(i, endA - i, b, j, endB - j);
      if (order != 0) {
        return order < 0;
      }
      i = endA;
      j = endB;
      continue;
    }
    if (a[i] != b[j]) {
      return static_cast<unsigned char>(a[i]) < static_cast<unsigned char>(b[j]);
    }
    ++i;
    ++j;
  }
  if (i != a.size() || j != b.size()) {
    return i == a.size();
  }
  // Equal but for leading zeros: fall back to plain order to stay strict.
  return a < b;
}

void SortPorts(std::vector<PortInfo>* ports) {
  std::sort(ports->begin(), ports->end(),
            [](const PortInfo& x, const PortInfo& y) { return PortNameLess(x.name, y.name); });
}
