// Names as a host that ignores letter case compares them.
#ifndef KELVODA_FOLD_HPP_
#define KELVODA_FOLD_HPP_

#include <string>
#include <string_view>

// Returns the relative path `rel` as a host that ignores letter case and
// drops trailing dots and blanks (FAT, exFAT, NTFS) compares it: each
// component with the letters of ASCII and of the two-byte UTF-8 range
// (Latin, Greek, Cyrillic) lowered and those trailing characters removed.
std::string fold_key(std::string_view rel);

#endif  // KELVODA_FOLD_HPP_
