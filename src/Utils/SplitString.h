#pragma once
#include <string>
#include "Utils/ManagedList.h"

namespace Utils
{

// Empties out, then stores in it the pieces of text between occurrences of separator, each a
// heap copy. An empty separator gives the whole text; empty pieces are dropped with skipEmpty.
void SplitString(const std::string& text, const std::string& separator, ManagedList<std::string>& out,
                 bool skipEmpty);

} // namespace Utils
