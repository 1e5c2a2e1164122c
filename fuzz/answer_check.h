// What the host needs of every answer: one well-formed XML 1.0 document in
// valid UTF-8. The request and whole-read targets hand their answers here; an
// answer that is not stops the fuzzer with the reason and the answer.
#pragma once

#include <string_view>

namespace tabulon::fuzz {

void CheckAnswer(std::string_view answer);

}  // namespace tabulon::fuzz
