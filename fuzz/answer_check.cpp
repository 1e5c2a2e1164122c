#include "answer_check.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "support/xml_check.h"

namespace tabulon::fuzz {

void CheckAnswer(std::string_view answer) {
  const std::string error = test::CheckXmlWellFormed(answer);
  if (error.empty()) return;
  std::fprintf(stderr, "answer is not well-formed XML: %s\nanswer (%zu bytes): %.*s\n", error.c_str(), answer.size(),
               static_cast<int>(std::min<std::size_t>(answer.size(), 2000)), answer.data());
  std::abort();
}

}  // namespace tabulon::fuzz
