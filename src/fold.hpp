// Case folding of names: which spellings a host that ignores letter case
// may take as one. It only proposes; the host's own lookup decides.
#ifndef KELVODA_FOLD_HPP_
#define KELVODA_FOLD_HPP_

#include <string>
#include <string_view>

// Returns `name` case-folded and in decomposed normal form (NFD), so that
// spellings that differ in letter case or in how accents are composed give
// one text. A name that is not well-formed UTF-8 comes back unchanged.
std::string fold_name(std::string_view name);

#endif  // KELVODA_FOLD_HPP_
