// Name matching of the find dialog: "*" matches any run of characters (also none), "?" any one.
#pragma once

#include <string>

namespace ov {

// Without `matchCase`, characters also match when they are equal with bit 0x20 set in both.
bool matchName(const std::u16string& pattern, const std::u16string& name, bool matchCase);

}  // namespace ov
