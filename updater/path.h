// Path helpers of the tool.
#pragma once

#include <string>

// Joins path parts: `first`, then each further part after the separator
// "/". The list ends with a null pointer. Separators are never removed or
// merged, so BuildPath("/a", "b", ".settings", nullptr) is "/a/b/.settings"
// and BuildPath("a/", "b", nullptr) is "a//b".
std::string BuildPath(const char* first, ...) __attribute__((sentinel));
