// The wildcard match of folder searches, as FindFirstFileW makes it: '*'
// stands for any run of units, '?' for exactly one, and the other units
// compare once each is upper-cased by `upper`, the case rule of the folder's
// file system.
#ifndef VOLUME_WILDCARD_H_
#define VOLUME_WILDCARD_H_

#include <cstddef>

#include "common/text.h"

template <typename Upper>
bool WildcardMatch(const WideString& pattern, const WideString& name,
                   Upper upper) {
  size_t p = 0, n = 0;
  size_t star = WideString::npos, star_name = 0;
  while (n < name.size()) {
    if (p < pattern.size() && pattern[p] == u'*') {
      star = p++;
      star_name = n;
    } else if (p < pattern.size() &&
               (pattern[p] == u'?' || upper(pattern[p]) == upper(name[n]))) {
      ++p;
      ++n;
    } else if (star != WideString::npos) {
      p = star + 1;
      n = ++star_name;
    } else {
      return false;
    }
  }
  while (p < pattern.size() && pattern[p] == u'*') ++p;
  return p == pattern.size();
}

#endif  // VOLUME_WILDCARD_H_
